// The objects behind HANDLE, HKEY and HWND values, and the tables that map values to them.
//
// A table holds a std::shared_ptr per value. A call looks its object up under the table's
// lock and works on its own reference after releasing it, so a handle closed by another
// thread meanwhile only drops the table's reference: the object lives until the call ends.
#ifndef KPLATFORM_HANDLE_TABLE_H
#define KPLATFORM_HANDLE_TABLE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/win32.h"

namespace kplatform {

// Anything a handle value can stand for.
class Object {
public:
    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    virtual ~Object();
};

// An object WaitForSingleObject can wait on.
class Waitable : public Object {
public:
    // WAIT_OBJECT_0 once signalled, WAIT_TIMEOUT when `milliseconds` passed first
    // (INFINITE: never).
    virtual DWORD wait(DWORD milliseconds) = 0;
};

// Values to objects. Values come from one counter shared by all tables, so an HKEY or an
// HWND never equals a live HANDLE: passing one kind where another is expected fails cleanly.
class HandleTable {
public:
    // Registers the object under a fresh value; throws std::bad_alloc.
    std::uintptr_t insert(std::shared_ptr<Object> object);
    // The object of `value`, or null when the value is unknown or closed.
    std::shared_ptr<Object> find(std::uintptr_t value) const;
    template <class T> std::shared_ptr<T> find_as(std::uintptr_t value) const {
        return std::dynamic_pointer_cast<T>(find(value));
    }
    // Unregisters `value` and hands back its object (null when unknown), so that the last
    // reference can be dropped outside the lock.
    std::shared_ptr<Object> remove(std::uintptr_t value);
    // References to every registered object, for callers that update all of some kind.
    std::vector<std::shared_ptr<Object>> objects() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> objects_;
};

// The table of the kernel objects: events, threads and files.
HandleTable& kernel_objects();

inline std::uintptr_t handle_value(const void* handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

} // namespace kplatform

#endif
