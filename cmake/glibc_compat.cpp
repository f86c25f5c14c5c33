// Keeps a native module loadable on old glibc (2.17 and later) although it is
// built against a newer one with the C++ library linked in statically. The
// unwinder stays the system's shared libgcc_s (present on every glibc system
// and kept compatible): one unwinder for the whole process, so the unwind that
// ends a thread passes through the module's frames as through any other.
//
// The static libstdc++ objects, and the module's own code, refer to
// a few C library symbols whose default version is newer than 2.17. Each gets
// a hidden definition here, which every reference inside the module binds to:
//
// - pthread_* moved from libpthread into libc in 2.34 and got a new default
//   version there; the wrappers call the original version of each function
//   (the same code in a current libc, pinned with `.symver`).
// - fstat64 became a libc function in 2.33; before, the header inlined a call
//   of __fxstat64, which every libc still exports.
// - __libc_single_threaded (2.32) lets libstdc++ skip atomic reference counts
//   in a process without threads; held at 0 here, the counts always use atomic
//   operations, which is correct in every process.
// - __cxa_thread_atexit_impl (2.18) registers destructors of thread_local
//   objects; here, a per-thread list run by a pthread key destructor at thread
//   exit and by atexit for the main thread (the module is never unloaded).
// - random_device's entropy sources (getentropy 2.25, arc4random 2.36) are
//   dropped by the linker's section garbage collection: the module never
//   creates a random_device.
//
// Nothing here is compiled for other C libraries or when the C++ runtime is
// linked dynamically (TARSK_GLIBC_COMPAT is then not defined).
#if defined(TARSK_GLIBC_COMPAT) && defined(__linux__)

#include <features.h>

#if defined(__GLIBC__)

#include <pthread.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <new>

// The version of the original pthread symbols (the first glibc of the
// architecture) and the stat version argument of __fxstat64 for the
// kernel's struct stat64.
#if defined(__x86_64__)
#define TARSK_GLIBC_BASE "GLIBC_2.2.5"
#define TARSK_STAT_VER 1
#elif defined(__aarch64__)
#define TARSK_GLIBC_BASE "GLIBC_2.17"
#define TARSK_STAT_VER 0
#else
#error "glibc_compat.cpp knows x86-64 and AArch64 only; configure with -DTARSK_PORTABLE=OFF"
#endif

#define TARSK_HIDDEN __attribute__((visibility("hidden")))

// tarsk_glibc_<name> is the original version of <name>; the hidden <name>
// below forwards to it.
#define TARSK_PIN(name) __asm__(".symver tarsk_glibc_" #name ", " #name "@" TARSK_GLIBC_BASE)

extern "C" {

int tarsk_glibc_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int tarsk_glibc_pthread_join(pthread_t, void**);
int tarsk_glibc_pthread_detach(pthread_t);
int tarsk_glibc_pthread_once(pthread_once_t*, void (*)());
int tarsk_glibc_pthread_key_create(pthread_key_t*, void (*)(void*));
int tarsk_glibc___pthread_key_create(pthread_key_t*, void (*)(void*));
int tarsk_glibc_pthread_key_delete(pthread_key_t);
void* tarsk_glibc_pthread_getspecific(pthread_key_t);
int tarsk_glibc_pthread_setspecific(pthread_key_t, const void*);
TARSK_PIN(pthread_create);
TARSK_PIN(pthread_join);
TARSK_PIN(pthread_detach);
TARSK_PIN(pthread_once);
TARSK_PIN(pthread_key_create);
TARSK_PIN(__pthread_key_create);
TARSK_PIN(pthread_key_delete);
TARSK_PIN(pthread_getspecific);
TARSK_PIN(pthread_setspecific);

TARSK_HIDDEN int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                                void* arg) noexcept {
    return tarsk_glibc_pthread_create(thread, attr, start, arg);
}
// pthread_join and pthread_once are cancellation points: declared without
// noexcept, so the cancellation unwind may pass through them.
TARSK_HIDDEN int pthread_join(pthread_t thread, void** result) {
    return tarsk_glibc_pthread_join(thread, result);
}
TARSK_HIDDEN int pthread_detach(pthread_t thread) noexcept { return tarsk_glibc_pthread_detach(thread); }
TARSK_HIDDEN int pthread_once(pthread_once_t* once, void (*init)()) {
    return tarsk_glibc_pthread_once(once, init);
}
TARSK_HIDDEN int pthread_key_create(pthread_key_t* key, void (*dtor)(void*)) noexcept {
    return tarsk_glibc_pthread_key_create(key, dtor);
}
TARSK_HIDDEN int __pthread_key_create(pthread_key_t* key, void (*dtor)(void*)) noexcept {
    return tarsk_glibc___pthread_key_create(key, dtor);
}
TARSK_HIDDEN int pthread_key_delete(pthread_key_t key) noexcept { return tarsk_glibc_pthread_key_delete(key); }
TARSK_HIDDEN void* pthread_getspecific(pthread_key_t key) noexcept { return tarsk_glibc_pthread_getspecific(key); }
// The header marks the value as never read (it is only stored), which g++
// takes for a possibly uninitialised read when passing it on.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
TARSK_HIDDEN int pthread_setspecific(pthread_key_t key, const void* value) noexcept {
    return tarsk_glibc_pthread_setspecific(key, value);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#if __GLIBC_PREREQ(2, 33)
int __fxstat64(int, int, struct stat64*) noexcept;
TARSK_HIDDEN int fstat64(int fd, struct stat64* buf) noexcept { return __fxstat64(TARSK_STAT_VER, fd, buf); }
#endif

TARSK_HIDDEN char __libc_single_threaded = 0;

}  // extern "C"

namespace {

struct ThreadExitEntry {
    void (*dtor)(void*);
    void* object;
    ThreadExitEntry* next;
};

pthread_key_t g_thread_exit_key;

// Runs and frees a thread's entries, newest first (the reverse of
// construction, as for any object with automatic or static storage).
void run_thread_exit_entries(void* head) {
    auto* e = static_cast<ThreadExitEntry*>(head);
    while (e != nullptr) {
        ThreadExitEntry* next = e->next;
        e->dtor(e->object);
        delete e;
        e = next;
    }
}

// The main thread does not run key destructors: exit runs its list.
void run_main_thread_exit_entries() {
    void* head = pthread_getspecific(g_thread_exit_key);
    pthread_setspecific(g_thread_exit_key, nullptr);
    run_thread_exit_entries(head);
}

pthread_once_t g_thread_exit_once = PTHREAD_ONCE_INIT;
bool g_thread_exit_ready = false;

void init_thread_exit_key() {
    g_thread_exit_ready = pthread_key_create(&g_thread_exit_key, run_thread_exit_entries) == 0;
}

}  // namespace

extern "C" TARSK_HIDDEN int __cxa_thread_atexit_impl(void (*dtor)(void*), void* object, void*) noexcept {
    pthread_once(&g_thread_exit_once, init_thread_exit_key);
    if (!g_thread_exit_ready) return -1;
    static const bool at_exit = std::atexit(run_main_thread_exit_entries) == 0;
    (void)at_exit;
    auto* e = new (std::nothrow) ThreadExitEntry{dtor, object, nullptr};
    if (e == nullptr) return -1;
    e->next = static_cast<ThreadExitEntry*>(pthread_getspecific(g_thread_exit_key));
    if (pthread_setspecific(g_thread_exit_key, e) != 0) {
        delete e;
        return -1;
    }
    return 0;
}

#endif  // __GLIBC__
#endif  // TARSK_GLIBC_COMPAT && __linux__
