#include "hardening/allocation_counter.h"

#include <atomic>
#include <cstddef>

// Under a sanitizer that owns the allocator (AddressSanitizer,
// ThreadSanitizer), its hooks count instead.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELOCART_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELOCART_UNDER_ASAN 1
#endif

namespace {

std::atomic<int> openScopes{0};
std::atomic<long> allocations{0};

inline void noteAllocation() {
    if (openScopes.load(std::memory_order_relaxed) > 0) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

#if defined(VELOCART_UNDER_ASAN)

#include <sanitizer/allocator_interface.h>

namespace {

void onMalloc(const volatile void*, std::size_t) { noteAllocation(); }
void onFree(const volatile void*) {}

const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);

}  // namespace

#else

// glibc exports its allocator under these names as well, so the functions
// below can count and pass every request on.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);

void* malloc(std::size_t size) noexcept {
    noteAllocation();
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
    noteAllocation();
    return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) noexcept {
    noteAllocation();
    return __libc_realloc(block, size);
}

void* memalign(std::size_t alignment, std::size_t size) noexcept {
    noteAllocation();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    noteAllocation();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** block, std::size_t alignment, std::size_t size) noexcept {
    noteAllocation();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) return 12;  // ENOMEM
    *block = p;
    return 0;
}

void free(void* block) noexcept { __libc_free(block); }
}

#endif

namespace velocart_test {

AllocationScope::AllocationScope() {
    allocations.store(0);
    openScopes.fetch_add(1);
}

AllocationScope::~AllocationScope() { openScopes.fetch_sub(1); }

long AllocationScope::count() const { return allocations.load(); }

}  // namespace velocart_test
