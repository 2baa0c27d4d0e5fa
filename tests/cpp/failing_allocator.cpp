// Preloaded into a test's interpreter: operator new that throws std::bad_alloc
// at one chosen large allocation, armed from Python through ctypes.
#include <cstdlib>
#include <new>

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // blocks come from malloc

static long large_allocations_before_failure = -1;
static std::size_t large = 0;

// The allocation of at least `at_least` bytes after `before` more of them fails.
extern "C" void fail_large_allocation(long before, std::size_t at_least) {
    large_allocations_before_failure = before;
    large = at_least;
}

void* operator new(std::size_t size) {
    if (large_allocations_before_failure >= 0 && size >= large &&
        large_allocations_before_failure-- == 0) {
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
