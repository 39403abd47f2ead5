// The module's own heap. Linked only into the module's shared library, where these
// replacements bind every allocation the module's code makes (the library exports
// nothing but its init function, so the rest of the process keeps its own operators).
//
// A failed allocation is neither an error value nor an internal fault: the process
// says how much it asked for and ends at once. Every allocation, nothrow forms included,
// takes that path: the module has no use for a null block.
#include <atomic>
#include <cstdlib>
#include <new>
#if defined(_WIN32)
#include <malloc.h>
#endif

#include "runtime/allocation.h"
#include "runtime/fault.h"

namespace {

#if defined(BIO_HEAP_ACCOUNTING)
std::atomic<std::uint64_t> g_allocations{0};
std::atomic<std::uint64_t> g_bytes{0};
#endif

void account(std::size_t size) noexcept {
#if defined(BIO_HEAP_ACCOUNTING)
    if (bio::t_unaccounted_depth != 0) return;
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(size, std::memory_order_relaxed);
#else
    (void)size;
#endif
}

void* allocate(std::size_t size) noexcept {
    account(size);
    return std::malloc(size == 0 ? 1 : size);
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) noexcept {
    account(size);
    const auto align = static_cast<std::size_t>(alignment);
    if (size == 0) size = 1;
#if defined(_WIN32)
    return _aligned_malloc(size, align);
#else
    if (size > static_cast<std::size_t>(-1) - align) return nullptr;
    return std::aligned_alloc(align, (size + align - 1) / align * align);
#endif
}

void release_aligned(void* block) noexcept {
#if defined(_WIN32)
    _aligned_free(block);
#else
    std::free(block);
#endif
}

void* allocate_or_end(std::size_t size) noexcept {
    void* block = allocate(size);
    if (block == nullptr) bio::allocation_failed(size);
    return block;
}

void* allocate_aligned_or_end(std::size_t size, std::align_val_t alignment) noexcept {
    void* block = allocate_aligned(size, alignment);
    if (block == nullptr) bio::allocation_failed(size);
    return block;
}

}  // namespace

namespace bio {

HeapCount heap_count() noexcept {
#if defined(BIO_HEAP_ACCOUNTING)
    return {g_allocations.load(std::memory_order_relaxed), g_bytes.load(std::memory_order_relaxed)};
#else
    return {};
#endif
}

}  // namespace bio

void* operator new(std::size_t size) { return allocate_or_end(size); }
void* operator new[](std::size_t size) { return allocate_or_end(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_end(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_end(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocate_aligned_or_end(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocate_aligned_or_end(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate_aligned_or_end(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate_aligned_or_end(size, alignment);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { release_aligned(block); }
void operator delete[](void* block, std::align_val_t) noexcept { release_aligned(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { release_aligned(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { release_aligned(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { release_aligned(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { release_aligned(block); }
