/* Counts calls of the malloc family in a process it is preloaded into.
 *
 * Forwards to glibc's own entry points (no dlsym, which may itself allocate)
 * and exports the count, which bench/run.py reads through ctypes before and
 * after a run of calls. */
#include <stdatomic.h>
#include <stddef.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);
extern void __libc_free(void *);

static atomic_ulong allocations;

unsigned long veldspar_allocations(void) { return atomic_load_explicit(&allocations, memory_order_relaxed); }

static void *counted(void *p) {
    atomic_fetch_add_explicit(&allocations, 1, memory_order_relaxed);
    return p;
}

void *malloc(size_t size) { return counted(__libc_malloc(size)); }
void *calloc(size_t count, size_t size) { return counted(__libc_calloc(count, size)); }
void *realloc(void *p, size_t size) { return counted(__libc_realloc(p, size)); }
void *memalign(size_t alignment, size_t size) { return counted(__libc_memalign(alignment, size)); }
void *aligned_alloc(size_t alignment, size_t size) { return counted(__libc_memalign(alignment, size)); }
int posix_memalign(void **out, size_t alignment, size_t size) {
    void *p = __libc_memalign(alignment, size);
    if (p == NULL) return 12; /* ENOMEM */
    *out = counted(p);
    return 0;
}
void free(void *p) { __libc_free(p); }
