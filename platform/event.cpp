// Events: manual- and auto-reset, waited on with a time-out.
#include "platform/event.h"

#include <chrono>
#include <map>
#include <string>

#include "platform/c_boundary.h"

namespace kplatform {

void Event::set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    // An auto-reset event lets exactly one waiter through; each waiter re-checks the state
    // under the lock, so whoever wakes and finds it already taken waits again.
    if (manual_reset_)
        changed_.notify_all();
    else
        changed_.notify_one();
}

void Event::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
}

DWORD Event::wait(DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto is_signalled = [this] { return signalled_; };
    if (milliseconds == INFINITE) {
        changed_.wait(lock, is_signalled);
    } else {
        // The steady clock, so that setting the wall clock neither shortens nor stretches it.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        if (!changed_.wait_until(lock, deadline, is_signalled))
            return WAIT_TIMEOUT;
    }
    if (!manual_reset_)
        signalled_ = false;
    return WAIT_OBJECT_0;
}

namespace {

// Named events of this process, so that a second CreateEventA of a name finds the first
// event while any handle of it is open.
std::mutex g_names_mutex;
std::map<std::string, std::weak_ptr<Event>>& named_events() {
    static auto* const names = new std::map<std::string, std::weak_ptr<Event>>;
    return *names;
}

} // namespace

} // namespace kplatform

using namespace kplatform;

extern "C" {

KPLATFORM_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                  BOOL initialState, LPCSTR name) {
    (void)attributes;
    return guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        if (!name || !*name) {
            auto event = std::make_shared<Event>(manualReset != FALSE, initialState != FALSE);
            HANDLE handle = reinterpret_cast<HANDLE>(kernel_objects().insert(std::move(event)));
            SetLastError(ERROR_SUCCESS);
            return handle;
        }
        // Names are known within this process only; the first creator's settings hold.
        std::lock_guard<std::mutex> lock(g_names_mutex);
        auto& names = named_events();
        std::weak_ptr<Event>& entry = names[name];
        std::shared_ptr<Event> event = entry.lock();
        const bool existed = event != nullptr;
        if (!existed) {
            event = std::make_shared<Event>(manualReset != FALSE, initialState != FALSE);
            entry = event;
        }
        for (auto it = names.begin(); it != names.end();) // forget events nobody holds
            it = it->second.expired() ? names.erase(it) : std::next(it);
        HANDLE handle = reinterpret_cast<HANDLE>(kernel_objects().insert(std::move(event)));
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return handle;
    });
}

KPLATFORM_API BOOL SetEvent(HANDLE event) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<Event> object = kernel_objects().find_as<Event>(handle_value(event));
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object->set();
        return TRUE;
    });
}

KPLATFORM_API BOOL ResetEvent(HANDLE event) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<Event> object = kernel_objects().find_as<Event>(handle_value(event));
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object->reset();
        return TRUE;
    });
}

} // extern "C"
