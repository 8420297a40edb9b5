// An allocator for tables of many megabytes: it asks the system for huge
// pages, since faulting such a table in 4 KiB at a time can cost more than
// all the work done in it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include <sys/mman.h>

template <class T> struct LargeAllocator {
    using value_type = T;
    static constexpr size_t hugePage = size_t(2) << 20;

    LargeAllocator() = default;
    template <class U> LargeAllocator(const LargeAllocator<U>&) {}

    T* allocate(size_t count) {
        const size_t bytes = count * sizeof(T);
        if (bytes < hugePage) return std::allocator<T>().allocate(count);
        void* memory = std::aligned_alloc(hugePage, (bytes + hugePage - 1) / hugePage * hugePage);
        if (!memory) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        madvise(memory, bytes, MADV_HUGEPAGE);
#endif
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, size_t count) {
        if (count * sizeof(T) < hugePage) return std::allocator<T>().deallocate(memory, count);
        std::free(memory);
    }
    template <class U> bool operator==(const LargeAllocator<U>&) const {
        return true;
    }
};

template <class T> using LargeArray = std::vector<T, LargeAllocator<T>>;
