// ShPtr<T>: the counted owning pointer that carries task threads, switch
// clients and the TOLM calls object through the module.
//
// Every ShPtr value is one pointer to a heap block {object, count} that all of
// its copies share. The count is a plain integer on purpose: the objects held
// this way are handed between threads only under their owner's lock, so copies
// of one ShPtr must never be made or dropped on two threads at once unless the
// owner serialises them.
//
// T must have a virtual destructor; the last ShPtr to go deletes the object
// through it.
#pragma once

#include <cstdint>
#include <type_traits>

namespace provider {

template <class T>
class ShPtr {
public:
    // Takes ownership of object (null allowed: an empty ShPtr, which still has
    // a block of its own). If the block cannot be allocated the object is
    // deleted before the allocation failure propagates, so it never leaks.
    explicit ShPtr(T* object = nullptr) : block_(allocate(object)) {}

    ShPtr(const ShPtr& other) : block_(other.block_) { ++block_->count; }

    // Counting the source up before dropping our own block keeps the object
    // alive when both are the same block (self-assignment, or two copies).
    ShPtr& operator=(const ShPtr& other) {
        ++other.block_->count;
        release();
        block_ = other.block_;
        return *this;
    }

    ~ShPtr() { release(); }

    // The object; undefined for an empty ShPtr.
    T& operator*() const { return *block_->object; }
    T* operator->() const { return block_->object; }

    // The object, or null for an empty ShPtr. Ownership stays here.
    T* get() const { return block_->object; }
    explicit operator bool() const { return block_->object != nullptr; }

    // Number of ShPtr values that share this one's block.
    uint32_t useCount() const { return block_->count; }

private:
    struct Block {
        T* object;
        uint32_t count;
    };

    static Block* allocate(T* object) {
        try {
            return new Block{object, 1};
        } catch (...) {
            delete object;
            throw;
        }
    }

    void release() {
        static_assert(std::has_virtual_destructor<T>::value, "ShPtr deletes through T's virtual destructor");
        if (--block_->count == 0) {
            delete block_->object;
            delete block_;
        }
    }

    Block* block_;
};

}  // namespace provider

// Code outside the provider namespace (the provider classes live in cimple's)
// names it unqualified, like the other shared holder types.
using provider::ShPtr;
