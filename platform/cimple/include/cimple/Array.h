// Growable array of CIM values.
//
// Standard layout (data pointer, size, capacity) so that it can live inside
// generated instance structs. Elements are constructed with placement new and
// destroyed explicitly; an Array<Instance*> only holds the pointers (the
// instance code that owns such an array decides about the referenced
// instances). Out-of-range positions are ignored rather than trusted: insert
// past the end appends, remove clips to what exists.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

namespace cimple {

template <class T>
class Array {
public:
    Array() : _data(nullptr), _size(0), _cap(0) {}
    Array(const T* data, size_t n) : Array() { assign(data, n); }
    Array(const Array& x) : Array() { assign(x._data, x._size); }
    Array(Array&& x) noexcept : _data(x._data), _size(x._size), _cap(x._cap) {
        x._data = nullptr;
        x._size = x._cap = 0;
    }
    ~Array() {
        clear();
        std::free(_data);
    }

    Array& operator=(const Array& x) {
        if (this != &x) assign(x._data, x._size);
        return *this;
    }
    Array& operator=(Array&& x) noexcept {
        if (this != &x) {
            clear();
            std::free(_data);
            _data = x._data;
            _size = x._size;
            _cap = x._cap;
            x._data = nullptr;
            x._size = x._cap = 0;
        }
        return *this;
    }

    void assign(const T* data, size_t n) {
        // Copy first: data may point into this array.
        Array tmp;
        tmp.reserve(n);
        for (size_t i = 0; i < n; i++) new (&tmp._data[i]) T(data[i]);
        tmp._size = n;
        swap(tmp);
    }

    void append(const T& x) { insert(_size, x); }
    void append(const T* data, size_t n) {
        Array tmp(data, n);
        reserve(_size + n);
        for (size_t i = 0; i < n; i++) new (&_data[_size + i]) T(std::move(tmp._data[i]));
        _size += n;
    }

    void insert(size_t pos, const T& x) {
        if (pos > _size) pos = _size;
        T copy(x);  // x may be an element of this array
        reserve(_size + 1);
        // Shift by move-constructing into the raw slot at the end.
        for (size_t i = _size; i > pos; i--) {
            new (&_data[i]) T(std::move(_data[i - 1]));
            _data[i - 1].~T();
        }
        new (&_data[pos]) T(std::move(copy));
        _size++;
    }

    void remove(size_t pos, size_t n = 1) {
        if (pos >= _size) return;
        if (n > _size - pos) n = _size - pos;
        for (size_t i = pos; i < pos + n; i++) _data[i].~T();
        for (size_t i = pos + n; i < _size; i++) {
            new (&_data[i - n]) T(std::move(_data[i]));
            _data[i].~T();
        }
        _size -= n;
    }

    void clear() {
        for (size_t i = 0; i < _size; i++) _data[i].~T();
        _size = 0;
    }

    void reserve(size_t n) {
        if (n <= _cap) return;
        size_t cap = _cap ? _cap * 2 : 4;
        if (cap < n) cap = n;
        T* data = static_cast<T*>(std::malloc(cap * sizeof(T)));
        if (!data) throw std::bad_alloc();
        for (size_t i = 0; i < _size; i++) {
            new (&data[i]) T(std::move(_data[i]));
            _data[i].~T();
        }
        std::free(_data);
        _data = data;
        _cap = cap;
    }

    void swap(Array& x) noexcept {
        std::swap(_data, x._data);
        std::swap(_size, x._size);
        std::swap(_cap, x._cap);
    }

    size_t size() const { return _size; }
    bool empty() const { return _size == 0; }
    T* data() { return _data; }
    const T* data() const { return _data; }
    T& operator[](size_t i) { return _data[i]; }
    const T& operator[](size_t i) const { return _data[i]; }

    friend bool operator==(const Array& a, const Array& b) {
        if (a._size != b._size) return false;
        for (size_t i = 0; i < a._size; i++)
            if (!(a._data[i] == b._data[i])) return false;
        return true;
    }
    friend bool operator!=(const Array& a, const Array& b) { return !(a == b); }

private:
    T* _data;
    size_t _size;
    size_t _cap;
};

}  // namespace cimple
