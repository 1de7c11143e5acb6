// A program that loads the fault plug-in with dlopen and faults inside the
// memory allocator, with its lock held: a fault handler that allocates
// (even indirectly, for thread-local storage) hangs here for ever.
//
//   dlopen_fault_program <plug-in> <log file>
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdio>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);
}

namespace {

pthread_mutex_t heapLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> faultInNextMalloc{false};
int* volatile nowhere = nullptr;
volatile int sink = 0;
void* volatile kept = nullptr;

struct THeapGuard {
    THeapGuard() { pthread_mutex_lock(&heapLock); }
    ~THeapGuard() { pthread_mutex_unlock(&heapLock); }
};

void FaultInMalloc() {
    faultInNextMalloc.store(true);
    kept = malloc(32);
    free(kept);
}

}  // namespace

// The process's allocator, a non-recursive lock around the C library's own.
extern "C" void* malloc(std::size_t size) {
    THeapGuard guard;
    void* block = __libc_malloc(size);
    if (faultInNextMalloc.exchange(false)) sink = *nowhere;
    return block;
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
    THeapGuard guard;
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, std::size_t size) {
    THeapGuard guard;
    return __libc_realloc(block, size);
}

extern "C" void free(void* block) {
    THeapGuard guard;
    __libc_free(block);
}

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        std::printf("dlopen %s\n", dlerror());
        return 3;
    }
    using TRun = int (*)(const char*, void (*)());
    auto run = reinterpret_cast<TRun>(dlsym(plugin, "zr_FaultInPlugin"));
    if (run == nullptr) return 4;
    run(argv[2], FaultInMalloc);
    std::printf("survived\n");
    return 0;
}
