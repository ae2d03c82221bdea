#include "cimple/String.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace cimple {

namespace {
// Shared by every empty string; never written to (capacity 0 guards it).
char empty_text[1] = {'\0'};
}  // namespace

String::String() : _data(empty_text), _size(0), _cap(0) {}

String::String(const char* s) : String() { assign(s); }

String::String(const char* s, size_t n) : String() { assign(s, n); }

String::String(const String& x) : String() { assign(x._data, x._size); }

String::String(String&& x) noexcept : _data(x._data), _size(x._size), _cap(x._cap) {
    x._data = empty_text;
    x._size = x._cap = 0;
}

String::~String() {
    if (_cap) std::free(_data);
}

String& String::operator=(const String& x) {
    if (this != &x) assign(x._data, x._size);
    return *this;
}

String& String::operator=(String&& x) noexcept {
    if (this != &x) {
        if (_cap) std::free(_data);
        _data = x._data;
        _size = x._size;
        _cap = x._cap;
        x._data = empty_text;
        x._size = x._cap = 0;
    }
    return *this;
}

String& String::operator=(const char* s) { return assign(s); }

void String::grow(size_t needed) {
    if (needed <= _cap) return;
    size_t cap = _cap ? _cap * 2 : 16;
    if (cap < needed) cap = needed;
    char* data = static_cast<char*>(std::malloc(cap + 1));
    if (!data) throw std::bad_alloc();
    std::memcpy(data, _data, _size + 1);
    if (_cap) std::free(_data);
    _data = data;
    _cap = cap;
}

String& String::assign(const char* s) { return assign(s, s ? std::strlen(s) : 0); }

String& String::assign(const String& s) { return assign(s._data, s._size); }

String& String::assign(const char* s, size_t n) {
    if (!s) n = 0;
    if (n == 0) {
        clear();
        return *this;
    }
    // s may point into our own buffer, so build the new text aside.
    if (s >= _data && s <= _data + _size) {
        String tmp(s, n);
        return *this = std::move(tmp);
    }
    if (n > _cap) {
        clear();
        grow(n);
    }
    std::memcpy(_data, s, n);
    _data[n] = '\0';
    _size = n;
    return *this;
}

String& String::append(const char* s) { return append(s, s ? std::strlen(s) : 0); }

String& String::append(const String& s) { return append(s._data, s._size); }

String& String::append(char c) { return append(&c, 1); }

String& String::append(const char* s, size_t n) {
    if (!s || n == 0) return *this;
    if (s >= _data && s <= _data + _size && _cap) {
        String tmp(s, n);
        return append(tmp._data, tmp._size);
    }
    grow(_size + n);
    std::memcpy(_data + _size, s, n);
    _size += n;
    _data[_size] = '\0';
    return *this;
}

String String::substr(size_t pos, size_t n) const {
    if (pos >= _size) return String();
    if (n > _size - pos) n = _size - pos;
    return String(_data + pos, n);
}

size_t String::find(char c, size_t pos) const {
    for (size_t i = pos; i < _size; i++)
        if (_data[i] == c) return i;
    return npos;
}

size_t String::find(const char* s, size_t pos) const {
    if (!s) s = "";
    size_t n = std::strlen(s);
    if (pos > _size || n > _size - pos) return npos;
    for (size_t i = pos; i + n <= _size; i++)
        if (std::memcmp(_data + i, s, n) == 0) return i;
    return npos;
}

bool String::equal(const char* s) const {
    if (!s) s = "";
    return std::strlen(s) == _size && std::memcmp(_data, s, _size) == 0;
}

bool String::equal(const String& s) const {
    return s._size == _size && std::memcmp(_data, s._data, _size) == 0;
}

bool String::equali(const char* s) const {
    if (!s) s = "";
    return std::strlen(s) == _size && strncasecmp(_data, s, _size) == 0;
}

bool String::equali(const String& s) const {
    if (s._size != _size) return false;
    for (size_t i = 0; i < _size; i++)
        if (std::tolower(static_cast<unsigned char>(_data[i])) !=
            std::tolower(static_cast<unsigned char>(s._data[i])))
            return false;
    return true;
}

void String::reserve(size_t capacity) { grow(capacity); }

void String::clear() {
    if (_cap) {
        _data[0] = '\0';
    }
    _size = 0;
}

bool operator<(const String& a, const String& b) {
    size_t n = a._size < b._size ? a._size : b._size;
    int r = std::memcmp(a._data, b._data, n);
    return r < 0 || (r == 0 && a._size < b._size);
}

String operator+(const String& a, const String& b) {
    String r;
    r.reserve(a.size() + b.size());
    r.append(a);
    r.append(b);
    return r;
}

String operator+(const String& a, const char* b) {
    String r(a);
    r.append(b);
    return r;
}

}  // namespace cimple
