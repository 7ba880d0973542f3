// Preloaded into the test processes of a ThreadSanitizer build (and inherited by what they start).
//
// Qt starts every QProcess with clone(CLONE_VM | CLONE_VFORK): the child runs in the parent's memory
// until it execs. ThreadSanitizer's clone interceptor treats that child as a forked copy and runs
// its after-fork code for the child there, in the parent's own state: the calling thread is left
// ignoring its memory accesses and synchronisation for good and the process counts as forked while
// multi-threaded. From then on, every race of that thread goes unseen, and a thread it hands work to
// under a mutex is reported racing with what it allocated (the mutex no longer publishes anything).
// Such a child shares the parent's memory and the parent waits for it, so it is no fork for the
// sanitizer's bookkeeping: it goes straight to the C library. Every other clone keeps the interceptor.
#include <cstdarg>
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

namespace {
using CloneFn = int (*)(int (*)(void*), void*, int, void*, ...);

CloneFn lookUp(void* where) {
    return reinterpret_cast<CloneFn>(dlsym(where, "clone"));
}

CloneFn cLibraryClone() {
    // A null handle would be the default scope, where the first clone() is this one.
    void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    return libc ? lookUp(libc) : lookUp(RTLD_NEXT);
}
} // namespace

extern "C" int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) {
    static const CloneFn libc = cLibraryClone();
    static const CloneFn next = lookUp(RTLD_NEXT);
    va_list rest;
    va_start(rest, arg);
    auto* parentTid = va_arg(rest, pid_t*);
    void* tls = va_arg(rest, void*);
    auto* childTid = va_arg(rest, pid_t*);
    va_end(rest);
    const bool sharedMemoryChild = (flags & CLONE_VM) && (flags & CLONE_VFORK);
    return (sharedMemoryChild ? libc : next)(fn, stack, flags, arg, parentTid, tls, childTid);
}
