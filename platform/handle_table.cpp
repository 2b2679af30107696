// The handle tables, and the calls that work on any kernel handle.
#include "platform/handle_table.h"

#include <atomic>

#include "platform/c_boundary.h"

namespace kplatform {

namespace {

// The predefined registry keys live at 0x80000000 and above; handle values stay clear of them.
constexpr std::uintptr_t kReservedFirst = 0x80000000u;
constexpr std::uintptr_t kReservedEnd = 0x80000100u;

// The pseudo handle of the current process, as on Windows; it is not in any table.
HANDLE const kCurrentProcess = INVALID_HANDLE_VALUE;

std::atomic<std::uintptr_t> g_last_value{0};

// Multiples of 4, increasing, so that a closed value does not come back soon.
std::uintptr_t next_value() {
    for (;;) {
        std::uintptr_t value = g_last_value.fetch_add(4, std::memory_order_relaxed) + 4;
        if (value != 0 && (value < kReservedFirst || value >= kReservedEnd))
            return value;
    }
}

} // namespace

Object::~Object() = default;

std::uintptr_t HandleTable::insert(std::shared_ptr<Object> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uintptr_t value = next_value();
    while (objects_.count(value) != 0) // only after the counter has wrapped
        value = next_value();
    objects_.emplace(value, std::move(object));
    return value;
}

std::shared_ptr<Object> HandleTable::find(std::uintptr_t value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(value);
    return it == objects_.end() ? nullptr : it->second;
}

std::shared_ptr<Object> HandleTable::remove(std::uintptr_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(value);
    if (it == objects_.end())
        return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    objects_.erase(it);
    return object;
}

std::vector<std::shared_ptr<Object>> HandleTable::objects() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<Object>> result;
    result.reserve(objects_.size());
    for (const auto& entry : objects_)
        result.push_back(entry.second);
    return result;
}

HandleTable& kernel_objects() {
    // Never destroyed: detached threads may still close handles while the process exits.
    static HandleTable* const table = new HandleTable;
    return *table;
}

} // namespace kplatform

using namespace kplatform;

extern "C" {

KPLATFORM_API BOOL CloseHandle(HANDLE handle) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (handle == kCurrentProcess) // closing the pseudo handle has no effect
            return TRUE;
        // The object itself goes when its last user lets go of it, outside the table lock.
        if (!kernel_objects().remove(handle_value(handle))) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    });
}

KPLATFORM_API HANDLE GetCurrentProcess(void) {
    return kCurrentProcess;
}

KPLATFORM_API BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                                   HANDLE* target, DWORD access, BOOL inherit, DWORD options) {
    (void)access; // a duplicate has the access of its source
    (void)inherit;
    constexpr DWORD kCloseSource = 0x00000001u; // DUPLICATE_CLOSE_SOURCE
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (target)
            *target = nullptr;
        if (sourceProcess != kCurrentProcess || targetProcess != kCurrentProcess) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        std::shared_ptr<Object> object = (options & kCloseSource)
                                             ? kernel_objects().remove(handle_value(source))
                                             : kernel_objects().find(handle_value(source));
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (!target) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *target = reinterpret_cast<HANDLE>(kernel_objects().insert(std::move(object)));
        return TRUE;
    });
}

KPLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return guarded<DWORD>(WAIT_FAILED, [&]() -> DWORD {
        std::shared_ptr<Waitable> object = kernel_objects().find_as<Waitable>(handle_value(handle));
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        return object->wait(milliseconds);
    });
}

KPLATFORM_API DWORD KPlatformOpenHandles(void) {
    return guarded<DWORD>(0, [] { return static_cast<DWORD>(kernel_objects().objects().size()); });
}

} // extern "C"
