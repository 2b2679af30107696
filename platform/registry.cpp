// The registry calls. HKEY_LOCAL_MACHINE is the REGEDIT4 file $ROOT/registry.reg; an open key
// keeps a snapshot of its values, taken when it is opened and renewed by every write.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/c_boundary.h"
#include "platform/handle_table.h"
#include "platform/registry_file.h"
#include "platform/root.h"

namespace kplatform {

namespace {

// Access rights that Windows maps onto the key rights.
constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
constexpr REGSAM kMaximumAllowed = 0x02000000u;

REGSAM effective_access(REGSAM access) {
    if (access & kGenericRead)
        access |= KEY_READ;
    if (access & kGenericWrite)
        access |= KEY_WRITE;
    if (access & (kGenericAll | kMaximumAllowed))
        access |= KEY_ALL_ACCESS;
    return access;
}

class Key : public Object {
public:
    Key(KeyPath path, REGSAM access, std::vector<RegistryValue> values)
        : path_(std::move(path)), access_(effective_access(access)), values_(std::move(values)) {}

    const KeyPath& path() const { return path_; }
    bool may(REGSAM right) const { return (access_ & right) == right; }

    void renew(std::vector<RegistryValue> values) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_ = std::move(values);
    }
    // The value's copy from the snapshot; false when there is none of that name.
    bool find(const std::string& name, RegistryValue& value) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const RegistryValue& candidate : values_) {
            if (same_name(candidate.name, name)) {
                value = candidate;
                return true;
            }
        }
        return false;
    }

private:
    const KeyPath path_;
    const REGSAM access_;
    mutable std::mutex mutex_;
    std::vector<RegistryValue> values_;
};

HandleTable& open_keys() {
    static HandleTable* const table = new HandleTable;
    return *table;
}

// Writers of the file go one at a time, so that none loses another's change.
std::mutex& file_mutex() {
    static auto* const mutex = new std::mutex;
    return *mutex;
}

std::string registry_path() {
    return root_folder() + "/registry.reg";
}

DWORD read_registry(std::string& text) {
    return read_registry_file(registry_path(), text);
}

DWORD write_registry(const std::string& text) {
    const DWORD error = make_folders(root_folder());
    return error != ERROR_SUCCESS ? error : write_registry_file(registry_path(), text);
}

// The open key of `key`; HKEY_LOCAL_MACHINE stands for the file as it is now.
LONG resolve(HKEY key, std::shared_ptr<Key>& result) {
    if (key == HKEY_LOCAL_MACHINE) {
        std::string text;
        const DWORD error = read_registry(text);
        if (error != ERROR_SUCCESS)
            return static_cast<LONG>(error);
        result = std::make_shared<Key>(KeyPath{}, KEY_ALL_ACCESS,
                                       RegistryText(text).values_of(KeyPath{}));
        return ERROR_SUCCESS;
    }
    result = open_keys().find_as<Key>(handle_value(key));
    return result ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// The path of `key` followed by `subKey`; false for a key that is not open.
bool path_below(HKEY key, LPCSTR subKey, KeyPath& path) {
    if (key == HKEY_LOCAL_MACHINE) {
        path.clear();
    } else {
        std::shared_ptr<Key> parent = open_keys().find_as<Key>(handle_value(key));
        if (!parent)
            return false;
        path = parent->path();
    }
    for (std::string& name : split_key_path(subKey))
        path.push_back(std::move(name));
    return true;
}

HKEY open_key(KeyPath path, REGSAM access, const RegistryText& text) {
    std::vector<RegistryValue> values = text.values_of(path);
    auto key = std::make_shared<Key>(std::move(path), access, std::move(values));
    return reinterpret_cast<HKEY>(open_keys().insert(std::move(key)));
}

// Opens or, when `create` is set, creates `subKey` below `key`.
LONG open_or_create(HKEY key, LPCSTR subKey, REGSAM access, bool create, PHKEY result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    KeyPath path;
    if (!path_below(key, subKey, path))
        return ERROR_INVALID_HANDLE;
    // The file has no way to write a line break in a name: such a key is never there.
    if (!storable_path(path))
        return create ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND;
    // As on Windows, opening nothing below a predefined key gives that key back.
    if (key == HKEY_LOCAL_MACHINE && path.empty()) {
        *result = HKEY_LOCAL_MACHINE;
        return ERROR_SUCCESS;
    }
    std::unique_lock<std::mutex> lock(file_mutex(), std::defer_lock);
    if (create)
        lock.lock();
    std::string text;
    DWORD error = read_registry(text);
    if (error != ERROR_SUCCESS)
        return static_cast<LONG>(error);
    RegistryText registry(text);
    if (!registry.has_key(path)) {
        if (!create)
            return ERROR_FILE_NOT_FOUND;
        registry.add_key(path);
        error = write_registry(registry.text());
        if (error != ERROR_SUCCESS)
            return static_cast<LONG>(error);
    }
    *result = open_key(std::move(path), access, registry);
    return ERROR_SUCCESS;
}

} // namespace

} // namespace kplatform

using namespace kplatform;

extern "C" {

KPLATFORM_API LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                 PHKEY result) {
    (void)options;
    return guarded_status([&] { return open_or_create(key, subKey, access, false, result); });
}

KPLATFORM_API LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    return guarded_status(
        [&] { return open_or_create(key, subKey, KEY_ALL_ACCESS, true, result); });
}

KPLATFORM_API LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                    LPBYTE data, LPDWORD dataSize) {
    return guarded_status([&]() -> LONG {
        std::shared_ptr<Key> object;
        const LONG status = resolve(key, object);
        if (status != ERROR_SUCCESS)
            return status;
        if (reserved || (data && !dataSize))
            return ERROR_INVALID_PARAMETER;
        if (!object->may(KEY_QUERY_VALUE))
            return ERROR_ACCESS_DENIED;
        RegistryValue value;
        if (!object->find(valueName ? valueName : "", value))
            return ERROR_FILE_NOT_FOUND;
        if (type)
            *type = value.type;
        const DWORD size = static_cast<DWORD>(value.data.size());
        if (!dataSize)
            return ERROR_SUCCESS;
        if (data && *dataSize < size) {
            *dataSize = size;
            return ERROR_MORE_DATA;
        }
        if (data && size > 0)
            std::memcpy(data, value.data.data(), size);
        *dataSize = size;
        return ERROR_SUCCESS;
    });
}

KPLATFORM_API LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                  const BYTE* data, DWORD dataSize) {
    return guarded_status([&]() -> LONG {
        std::shared_ptr<Key> object;
        if (key == HKEY_LOCAL_MACHINE)
            object = std::make_shared<Key>(KeyPath{}, KEY_ALL_ACCESS, std::vector<RegistryValue>{});
        else if (!(object = open_keys().find_as<Key>(handle_value(key))))
            return ERROR_INVALID_HANDLE;
        if (reserved != 0 || (!data && dataSize > 0) || !storable_name(valueName ? valueName : ""))
            return ERROR_INVALID_PARAMETER;
        if (!object->may(KEY_SET_VALUE))
            return ERROR_ACCESS_DENIED;

        RegistryValue value;
        value.name = valueName ? valueName : "";
        value.type = type;
        if (dataSize > 0)
            value.data.assign(data, data + dataSize);
        if (type == REG_SZ) {
            // A string ends at its NUL; one without a NUL in dataSize bytes is given one.
            const auto end = std::find(value.data.begin(), value.data.end(), BYTE{0});
            value.data.erase(end, value.data.end());
            value.data.push_back(0);
        }

        std::lock_guard<std::mutex> lock(file_mutex());
        std::string text;
        DWORD error = read_registry(text);
        if (error != ERROR_SUCCESS)
            return static_cast<LONG>(error);
        RegistryText registry(text);
        registry.set_value(object->path(), value);
        error = write_registry(registry.text());
        if (error != ERROR_SUCCESS)
            return static_cast<LONG>(error);
        // Every open handle of the key sees the file as it is now, as on Windows.
        const std::vector<RegistryValue> values = registry.values_of(object->path());
        object->renew(values);
        for (const std::shared_ptr<Object>& other : open_keys().objects()) {
            auto other_key = std::dynamic_pointer_cast<Key>(other);
            if (other_key && other_key != object && same_path(other_key->path(), object->path()))
                other_key->renew(values);
        }
        return ERROR_SUCCESS;
    });
}

KPLATFORM_API LONG RegCloseKey(HKEY key) {
    return guarded_status([&]() -> LONG {
        if (key == HKEY_LOCAL_MACHINE) // predefined keys are never really closed
            return ERROR_SUCCESS;
        return open_keys().remove(handle_value(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

} // extern "C"
