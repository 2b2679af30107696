#include "tools/ksym/symbol_file.h"

#include <cstring>
#include <memory>

#include "extern/kclient.h"
#include "formats/sdb_symbols.h"
#include "formats/symbol_file_location.h"

namespace ksymtool {

namespace {

// The largest symbol file read (the library's own upload has no smaller bound).
constexpr DWORD kMaxSymbolFileBytes = 256u * 1024 * 1024;
constexpr DWORD kFolderCapacity = 260;

// The folder "Files" names, or the default; read only (the library stores the default when
// the value is unusable, so after its load the value is a folder or absent).
std::string FilesFolder() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, formats::kConfigKey, 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        char text[kFolderCapacity + 1] = {};
        DWORD size = kFolderCapacity;
        DWORD type = 0;
        const LONG read = RegQueryValueExA(key, formats::kFilesValue, nullptr, &type,
                                           reinterpret_cast<BYTE*>(text), &size);
        RegCloseKey(key);
        if (read == ERROR_SUCCESS && type == REG_SZ && size <= kFolderCapacity && text[0] != '\0') {
            return std::string(text, strnlen(text, size));
        }
    }
    char windows[kFolderCapacity] = {};
    const UINT length = GetWindowsDirectoryA(windows, kFolderCapacity);
    return std::string(windows, length < kFolderCapacity ? length : 0) +
           formats::kDefaultFilesFolderName;
}

struct HandleCloser {
    void operator()(void* handle) const { CloseHandle(handle); }
};
using FileHandle = std::unique_ptr<void, HandleCloser>;

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    HANDLE opened = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    const FileHandle file(opened);
    DWORD high = 0;
    const DWORD size = GetFileSize(opened, &high);
    if (size == 0xFFFFFFFFu || high != 0 || size > kMaxSymbolFileBytes) {
        return false;
    }
    bytes.resize(size);
    DWORD read = 0;
    return size == 0 || (ReadFile(opened, bytes.data(), size, &read, nullptr) != 0 && read == size);
}

} // namespace

std::string ProjectName(const Session& session) {
    char name[kFolderCapacity] = {};
    if (KClientGetProjectName(session.channel(), name, sizeof name) == 0) {
        return "";
    }
    name[sizeof name - 1] = '\0';
    return name;
}

bool ReadLoadedSymbolFile(const Session& session, std::vector<uint8_t>& bytes,
                          std::vector<formats::SdbSymbol>& symbols, std::string& why) {
    const std::string path = FilesFolder() + formats::kUploadFolderName + "\\" +
                             formats::SymbolFileName(ProjectName(session).c_str());
    if (!ReadWholeFile(path, bytes)) {
        why = "cannot read the symbol file " + path;
        return false;
    }
    uint32_t projectId = 0;
    if (!formats::ReadSdbSymbols(bytes, projectId, symbols) ||
        static_cast<int32_t>(projectId) != KSymGetProjectId(session.channel())) {
        why = "the symbol file " + path + " is not the one the library loaded";
        return false;
    }
    return true;
}

} // namespace ksymtool
