#include "support/failing_allocator.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define KSYM_WITH_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KSYM_WITH_LSAN 1
#endif
#endif
#ifdef KSYM_WITH_LSAN
#include <sanitizer/lsan_interface.h>
#endif

// Replacing malloc needs the allocator underneath to be looked up at run time; the
// sanitizers' allocators are set up by their runtimes before anything of ours can run, and
// cannot be wrapped that way. Their builds fail operator new alone (all the library uses).
#if !defined(_WIN32) && !defined(KSYM_WITH_LSAN) && !defined(__SANITIZE_THREAD__)
#define KSYM_REPLACE_MALLOC 1
#include <dlfcn.h>
#endif

#include "fakes/fake_kclient.h"

namespace {

// Per thread: whether failure is armed for it alone, how many allocations may still
// succeed, whether one failed, and how deep the thread is inside the scripted client or the
// test's own harness (exempt).
thread_local bool t_armed = false;
thread_local uint32_t t_successesLeft = 0;
thread_local bool t_failed = false;
thread_local int t_exempt = 0;

// Failure armed for every thread: successes left across all of them, and whether one failed.
std::atomic<bool> g_everyThread{false};
std::atomic<int64_t> g_successesLeft{0};
std::atomic<bool> g_failed{false};

void ClientCall(bool entering) {
    t_exempt += entering ? 1 : -1;
}

// Installed before main, so that a harness thread started before failure is armed is known.
const bool kHookInstalled = [] {
    fake::SetCallHook(&ClientCall);
    return true;
}();

// True when this allocation is to fail.
bool ShouldFail() {
    if (t_exempt > 0) {
        return false;
    }
    if (g_everyThread.load(std::memory_order_relaxed)) {
        if (g_successesLeft.fetch_sub(1) > 0) {
            return false;
        }
        g_failed.store(true);
        return true;
    }
    if (!t_armed) {
        return false;
    }
    if (t_successesLeft > 0) {
        --t_successesLeft;
        return false;
    }
    t_failed = true;
    return true;
}

#ifndef KSYM_REPLACE_MALLOC
void* RealMalloc(std::size_t size) {
    return std::malloc(size);
}
void RealFree(void* memory) {
    std::free(memory);
}
#else
// The allocator underneath (the C library's, or a sanitizer's), found on first use. While
// it is being looked up, the lookup's own allocations come from a small static pool.
using MallocFunction = void* (*)(std::size_t);
using CallocFunction = void* (*)(std::size_t, std::size_t);
using ReallocFunction = void* (*)(void*, std::size_t);
using FreeFunction = void (*)(void*);

alignas(std::max_align_t) char g_pool[8192];
std::atomic<std::size_t> g_poolUsed{0};
thread_local bool t_resolving = false;

void* PoolAllocate(std::size_t size) {
    const std::size_t rounded =
        (size + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
    const std::size_t at = g_poolUsed.fetch_add(rounded);
    return at + rounded <= sizeof g_pool ? g_pool + at : nullptr;
}

bool InPool(const void* memory) {
    const char* p = static_cast<const char*>(memory);
    return p >= g_pool && p < g_pool + sizeof g_pool;
}

template <typename Function> Function Next(const char* name) {
    t_resolving = true;
    void* symbol = dlsym(RTLD_NEXT, name);
    t_resolving = false;
    Function function = nullptr;
    std::memcpy(&function, &symbol, sizeof function);
    return function;
}

MallocFunction NextMalloc() {
    static const MallocFunction function = Next<MallocFunction>("malloc");
    return function;
}
CallocFunction NextCalloc() {
    static const CallocFunction function = Next<CallocFunction>("calloc");
    return function;
}
ReallocFunction NextRealloc() {
    static const ReallocFunction function = Next<ReallocFunction>("realloc");
    return function;
}
FreeFunction NextFree() {
    static const FreeFunction function = Next<FreeFunction>("free");
    return function;
}

void* RealMalloc(std::size_t size) {
    return t_resolving ? PoolAllocate(size) : NextMalloc()(size);
}
void RealFree(void* memory) {
    if (memory != nullptr && !InPool(memory)) {
        NextFree()(memory);
    }
}
#endif

void* Allocate(std::size_t size) noexcept {
    return ShouldFail() ? nullptr : RealMalloc(size == 0 ? 1 : size);
}

} // namespace

namespace ksymtest {

void FailAllocationsAfter(uint32_t successes, FailOn scope) {
    if (scope == FailOn::EveryThread) {
        g_failed.store(false);
        g_successesLeft.store(successes);
        g_everyThread.store(true);
        return;
    }
    t_successesLeft = successes;
    t_failed = false;
    t_armed = true;
}

bool StopFailingAllocations() {
    const bool everyThread = g_everyThread.exchange(false);
    const bool failed = everyThread ? g_failed.load() : t_failed;
    t_armed = false;
    return failed;
}

#ifdef KSYM_WITH_LSAN
// The interface's records are packed, so a pointer in them (a symbol's name) may sit at an
// unaligned offset: LeakSanitizer must look there too, or it reports live memory as leaked.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_options() {
    return "use_unaligned=1";
}
#endif

bool LeakedSinceStart() {
#ifdef KSYM_WITH_LSAN
    return __lsan_do_recoverable_leak_check() != 0;
#else
    return false;
#endif
}

} // namespace ksymtest

#ifdef KSYM_REPLACE_MALLOC
// The C allocator, so that memory the library might take with malloc fails as new does.
extern "C" {

void* malloc(std::size_t size) {
    return Allocate(size);
}

void* calloc(std::size_t count, std::size_t size) {
    if (t_resolving) {
        void* memory = PoolAllocate(count * size);
        return memory; // the pool is static storage: zeroed
    }
    if (size != 0 && count > SIZE_MAX / size) {
        return nullptr;
    }
    return ShouldFail() ? nullptr : NextCalloc()(count, size);
}

void* realloc(void* memory, std::size_t size) {
    if (memory != nullptr && InPool(memory)) {
        return nullptr; // the lookup's few bytes never grow
    }
    return ShouldFail() ? nullptr : NextRealloc()(memory, size);
}

void free(void* memory) {
    RealFree(memory);
}

} // extern "C"
#endif

void* operator new(std::size_t size) {
    if (void* memory = Allocate(size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}

void operator delete(void* memory) noexcept {
    RealFree(memory);
}

void operator delete[](void* memory) noexcept {
    RealFree(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    RealFree(memory);
}

void operator delete[](void* memory, std::size_t) noexcept {
    RealFree(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept {
    RealFree(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    RealFree(memory);
}
