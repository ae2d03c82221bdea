#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "support/ShPtr.h"

// Lets a test make the next allocation on its thread fail.
namespace {
thread_local bool failNextAllocation = false;
}

void* operator new(std::size_t size) {
    if (failNextAllocation) {
        failNextAllocation = false;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Counted {
    explicit Counted(int* destroyed) : destroyed(destroyed) {}
    virtual ~Counted() { ++*destroyed; }
    int* destroyed;
};

TEST(ShPtr, LastOfSeveralCopiesDestroysTheObjectOnce) {
    int destroyed = 0;
    {
        ShPtr<Counted> a(new Counted(&destroyed));
        ShPtr<Counted> b(a);
        {
            ShPtr<Counted> c(nullptr);
            c = b;
            EXPECT_EQ(a.useCount(), 3u);
            EXPECT_EQ(c.get(), a.get());
        }
        EXPECT_EQ(a.useCount(), 2u);
        a = ShPtr<Counted>();
        EXPECT_FALSE(a);
        ShPtr<Counted>& alias = b;
        b = alias;  // the only holder assigned to itself keeps the object
        EXPECT_EQ(b.useCount(), 1u);
        EXPECT_EQ(b->destroyed, &destroyed);
        EXPECT_EQ(destroyed, 0);
        // Dropping the last holder by assigning an empty one.
        b = ShPtr<Counted>(nullptr);
        EXPECT_EQ(destroyed, 1);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST(ShPtr, AFailedBlockAllocationDestroysTheObject) {
    int destroyed = 0;
    Counted* object = new Counted(&destroyed);
    failNextAllocation = true;
    EXPECT_THROW(ShPtr<Counted>{object}, std::bad_alloc);
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
