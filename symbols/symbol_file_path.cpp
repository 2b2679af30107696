#include "symbols/symbol_file_path.h"

#include <cstring>
#include <string>

#include "extern/kutil.h"
#include "frame/module_settings.h"
#include "platform/win32.h"

namespace ksym {

namespace {

constexpr unsigned kFolderBufferSize = 260;
constexpr char kDefaultFolderName[] = "\\Korvan Files";
constexpr char kUploadFolderName[] = "\\Upload";
constexpr char kFilesValue[] = "Files";

// The Windows directory followed by "\Korvan Files".
void SetDefaultFolder(KString& buffer) {
    char* text = buffer.GetStringPointer();
    const auto capacity = static_cast<UINT>(buffer.GetAllocLen());
    const UINT length = GetWindowsDirectoryA(text, capacity);
    if (length == 0 || length >= capacity) {
        text[0] = '\0';
    }
    std::string suffix = kDefaultFolderName;
    buffer.AppendText(&suffix[0]);
}

// Reads "Files" into the buffer; false when the value is absent, does not fit or holds no
// terminated text within the buffer.
bool QueryFolder(HKEY key, KString& buffer) {
    const auto capacity = static_cast<DWORD>(buffer.GetAllocLen());
    DWORD size = capacity;
    auto* bytes = reinterpret_cast<BYTE*>(buffer.GetStringPointer());
    if (RegQueryValueExA(key, kFilesValue, nullptr, nullptr, bytes, &size) != ERROR_SUCCESS ||
        size > capacity) {
        return false;
    }
    // A stored text need not carry its zero byte.
    if (size == 0 || bytes[size - 1] != '\0') {
        if (size >= capacity) {
            return false;
        }
        bytes[size] = '\0';
    }
    return true;
}

} // namespace

std::string SymbolFileName(const char* projectName) {
    std::string name = projectName;
    const size_t separator = name.find_last_of("\\/:");
    if (separator != std::string::npos) {
        name.erase(0, separator + 1);
    }
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos) {
        name.erase(dot);
    }
    return name + ".sdb";
}

std::string SymbolFolder() {
    KString buffer(kFolderBufferSize);
    SetDefaultFolder(buffer);
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kConfigKey, &key) != ERROR_SUCCESS) {
        key = nullptr;
    }
    if (key != nullptr && !QueryFolder(key, buffer)) {
        // The failed query may have left anything in the buffer.
        buffer.GetStringPointer()[0] = '\0';
        SetDefaultFolder(buffer);
        const char* text = buffer.GetStringPointer();
        RegSetValueExA(key, kFilesValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>(std::strlen(text) + 1));
    }
    // The folder itself may not exist yet on a fresh machine; each call makes one level
    // and fails harmlessly when it is there.
    std::string folder = buffer.GetStringPointer();
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += kUploadFolderName;
    CreateDirectoryA(folder.c_str(), nullptr);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    return folder;
}

} // namespace ksym
