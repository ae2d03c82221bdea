// Counted reference to an instance.
#pragma once

#include <utility>

#include "cimple/Instance.h"

namespace cimple {

// T is Instance or a generated struct. Constructing from a raw pointer adopts
// the one reference the caller holds (as create() and clone() hand out); use
// ref() first to share a pointer you keep.
template <class T>
class Ref {
public:
    Ref() : _ptr(nullptr) {}
    explicit Ref(T* ptr) : _ptr(ptr) {}
    Ref(const Ref& x) : _ptr(x._ptr) { cimple::ref(as_instance(_ptr)); }
    Ref(Ref&& x) noexcept : _ptr(x._ptr) { x._ptr = nullptr; }
    ~Ref() { cimple::unref(as_instance(_ptr)); }

    Ref& operator=(const Ref& x) {
        if (_ptr != x._ptr) {
            cimple::ref(as_instance(x._ptr));
            cimple::unref(as_instance(_ptr));
            _ptr = x._ptr;
        }
        return *this;
    }
    Ref& operator=(Ref&& x) noexcept {
        if (this != &x) {
            cimple::unref(as_instance(_ptr));
            _ptr = x._ptr;
            x._ptr = nullptr;
        }
        return *this;
    }

    T* get() const { return _ptr; }
    T* operator->() const { return _ptr; }
    T& operator*() const { return *_ptr; }
    explicit operator bool() const { return _ptr != nullptr; }

    // Drops the held reference and adopts `ptr` (which may be null).
    void reset(T* ptr = nullptr) {
        T* old = _ptr;
        _ptr = ptr;
        cimple::unref(as_instance(old));
    }
    // Gives up ownership: the caller now holds the reference.
    T* steal() {
        T* ptr = _ptr;
        _ptr = nullptr;
        return ptr;
    }

private:
    static const Instance* as_instance(const T* p) { return reinterpret_cast<const Instance*>(p); }

    T* _ptr;
};

}  // namespace cimple
