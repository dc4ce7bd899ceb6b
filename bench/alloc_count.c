/*
 * Counts heap allocations made anywhere in the process, the library included:
 * the benchmark program defines malloc and its relatives itself and forwards
 * them to glibc's allocator. The dynamic linker binds the library's (and
 * libstdc++'s operator new's) calls to these definitions, so no LD_PRELOAD
 * is needed. The benchmarks are single-threaded.
 *
 * Under AddressSanitizer, which owns malloc itself, nothing is counted.
 */
#include <errno.h>
#include <stddef.h>

unsigned long long kelvo_bench_allocations = 0;

#if defined(__SANITIZE_ADDRESS__)
const int kelvo_bench_counting = 0;
#else
const int kelvo_bench_counting = 1;

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* pointer, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* pointer);

void* malloc(size_t size) {
    ++kelvo_bench_allocations;
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    ++kelvo_bench_allocations;
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
    ++kelvo_bench_allocations;
    return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) {
    ++kelvo_bench_allocations;
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    void* p = memalign(alignment, size);
    if (!p) return ENOMEM;
    *result = p;
    return 0;
}

void free(void* pointer) {
    __libc_free(pointer);
}
#endif
