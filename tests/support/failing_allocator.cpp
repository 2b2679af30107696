#include "support/failing_allocator.h"

#include <cstdlib>
#include <new>

#include "fakes/fake_kclient.h"

namespace {

// Per thread: whether failure is armed, how many allocations may still succeed, whether
// one failed, and how deep the thread is inside the scripted client (exempt).
thread_local bool t_armed = false;
thread_local uint32_t t_successesLeft = 0;
thread_local bool t_failed = false;
thread_local int t_exempt = 0;

void ClientCall(bool entering) {
    t_exempt += entering ? 1 : -1;
}

// True when this allocation is to fail.
bool ShouldFail() {
    if (!t_armed || t_exempt > 0) {
        return false;
    }
    if (t_successesLeft > 0) {
        --t_successesLeft;
        return false;
    }
    t_failed = true;
    return true;
}

void* Allocate(std::size_t size) noexcept {
    return ShouldFail() ? nullptr : std::malloc(size == 0 ? 1 : size);
}

} // namespace

namespace ksymtest {

void FailAllocationsAfter(uint32_t successes) {
    fake::SetCallHook(&ClientCall);
    t_successesLeft = successes;
    t_failed = false;
    t_armed = true;
}

bool StopFailingAllocations() {
    t_armed = false;
    return t_failed;
}

} // namespace ksymtest

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
    std::free(memory);
}

void operator delete[](void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
