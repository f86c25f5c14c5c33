// Keeps a native module loadable on old glibc (2.17 and later) although it is
// built against a newer one with the C++ runtime linked in statically.
//
// The static libstdc++ and libgcc objects, and the module's own code, refer to
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
// - _dl_find_object (2.35) finds the unwind tables of a code address for the
//   exception unwinder; here, a search of the loaded objects' program headers
//   (what the unwinder itself did before 2.35).
// - random_device's entropy sources (getentropy 2.25, arc4random 2.36) are
//   dropped by the linker's section garbage collection: the module never
//   creates a random_device.
//
// Nothing here is compiled for other C libraries or when the C++ runtime is
// linked dynamically (TARSK_GLIBC_COMPAT is then not defined).
#if defined(TARSK_GLIBC_COMPAT) && defined(__linux__)

#include <features.h>

#if defined(__GLIBC__)

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
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

#if __GLIBC_PREREQ(2, 35)
namespace {

struct FindObject {
    std::uintptr_t pc;
    dl_find_object* result;
    bool found;
};

int find_object_in(dl_phdr_info* info, std::size_t, void* data) {
    auto* f = static_cast<FindObject*>(data);
    bool contains = false;
    std::uintptr_t lo = UINTPTR_MAX;
    std::uintptr_t hi = 0;
    const ElfW(Phdr)* eh_frame = nullptr;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD) {
            const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
            const std::uintptr_t end = start + ph.p_memsz;
            if (start < lo) lo = start;
            if (end > hi) hi = end;
            if (f->pc >= start && f->pc < end) contains = true;
        } else if (ph.p_type == PT_GNU_EH_FRAME) {
            eh_frame = &ph;
        }
    }
    if (!contains) return 0;
    std::memset(f->result, 0, sizeof *f->result);
    f->result->dlfo_map_start = reinterpret_cast<void*>(lo);
    f->result->dlfo_map_end = reinterpret_cast<void*>(hi);
    if (eh_frame != nullptr)
        f->result->dlfo_eh_frame = reinterpret_cast<void*>(info->dlpi_addr + eh_frame->p_vaddr);
    f->found = true;
    return 1;
}

}  // namespace

// Fills only what the unwinder reads (the mapping and the unwind table);
// dlfo_link_map stays null.
extern "C" TARSK_HIDDEN int _dl_find_object(void* address, dl_find_object* result) noexcept {
    FindObject f{reinterpret_cast<std::uintptr_t>(address), result, false};
    dl_iterate_phdr(find_object_in, &f);
    return f.found ? 0 : -1;
}
#endif  // glibc 2.35

#endif  // __GLIBC__
#endif  // TARSK_GLIBC_COMPAT && __linux__
