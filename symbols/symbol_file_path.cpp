#include "symbols/symbol_file_path.h"

#include <cstring>
#include <string>

#include "extern/kutil.h"
#include "formats/symbol_file_location.h"
#include "frame/upload_switch.h"
#include "platform/win32.h"

namespace ksym {

namespace {

constexpr unsigned kFolderBufferSize = 260;

// The Windows directory followed by "\Korvan Files".
void SetDefaultFolder(KString& buffer) {
    char* text = buffer.GetStringPointer();
    const auto capacity = static_cast<UINT>(buffer.GetAllocLen());
    const UINT length = GetWindowsDirectoryA(text, capacity);
    if (length == 0 || length >= capacity) {
        text[0] = '\0';
    }
    std::string suffix = formats::kDefaultFilesFolderName;
    buffer.AppendText(&suffix[0]);
}

// What the value "Files" gives.
enum class FilesValue {
    Folder,  // a text, now in the buffer
    Default, // no text (0 bytes, or the terminator alone), or no key: the default, not stored
    Invalid, // absent or does not fit: the default is used and stored
};

// Reads "Files" into the buffer, which holds the default text. A text stored without its
// zero byte fits only when the buffer has room to add one: 260 bytes without a terminator
// do not fit.
FilesValue QueryFolder(HKEY key, KString& buffer) {
    const auto capacity = static_cast<DWORD>(buffer.GetAllocLen());
    DWORD size = capacity;
    auto* bytes = reinterpret_cast<BYTE*>(buffer.GetStringPointer());
    if (RegQueryValueExA(key, formats::kFilesValue, nullptr, nullptr, bytes, &size) !=
            ERROR_SUCCESS ||
        size > capacity) {
        return FilesValue::Invalid;
    }
    if (size == 0) {
        return FilesValue::Default; // nothing was written: the default is still there
    }
    if (bytes[size - 1] != '\0') {
        if (size >= capacity) {
            return FilesValue::Invalid;
        }
        bytes[size] = '\0';
    }
    return bytes[0] == '\0' ? FilesValue::Default : FilesValue::Folder;
}

} // namespace

std::string SymbolFolder() {
    KString buffer(kFolderBufferSize);
    SetDefaultFolder(buffer);
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kConfigKey, &key) != ERROR_SUCCESS) {
        key = nullptr;
    }
    const FilesValue value = key != nullptr ? QueryFolder(key, buffer) : FilesValue::Default;
    if (value != FilesValue::Folder) {
        // The query may have left anything in the buffer. An empty text would put the files
        // at the root of the drive: it counts as no value, and the user's value stays.
        buffer.GetStringPointer()[0] = '\0';
        SetDefaultFolder(buffer);
    }
    if (value == FilesValue::Invalid) {
        const char* text = buffer.GetStringPointer();
        RegSetValueExA(key, formats::kFilesValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>(std::strlen(text) + 1));
    }
    // The folder itself may not exist yet on a fresh machine; each call makes one level
    // and fails harmlessly when it is there.
    std::string folder = buffer.GetStringPointer();
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += formats::kUploadFolderName;
    CreateDirectoryA(folder.c_str(), nullptr);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    return folder;
}

} // namespace ksym
