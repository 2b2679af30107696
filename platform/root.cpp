// The folder that stands in for the Windows machine: its registry file and its Windows folder.
#include "platform/root.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/c_boundary.h"
#include "platform/last_error.h"

namespace kplatform {

namespace {

// An empty variable counts as unset, as the XDG rules have it.
const char* variable(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

std::string home_folder() {
    if (const char* home = variable("HOME"))
        return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384u);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir)
        return found->pw_dir;
    return "/tmp";
}

bool is_folder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

std::string root_folder() {
    if (const char* root = variable("KSYM_ROOT"))
        return root;
    if (const char* data = variable("XDG_DATA_HOME"))
        return std::string(data) + "/ksymbol";
    return home_folder() + "/.local/share/ksymbol";
}

DWORD make_folders(const std::string& path) {
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;
    // Each prefix that ends before a '/', then the whole path.
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string level = path.substr(0, end);
        if (!level.empty() && level.back() != '/' && ::mkdir(level.c_str(), 0777) != 0) {
            const int error = errno;
            if (error != EEXIST || !is_folder(level))
                return error == EEXIST ? ERROR_PATH_NOT_FOUND : error_from_errno(error);
        }
        if (end == std::string::npos)
            return ERROR_SUCCESS;
    }
}

} // namespace kplatform

using namespace kplatform;

extern "C" {

KPLATFORM_API const char* KPlatformRoot(void) {
    try {
        thread_local std::string root;
        root = root_folder();
        return root.c_str();
    } catch (...) {
        return "";
    }
}

KPLATFORM_API UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    return guarded<UINT>(0, [&]() -> UINT {
        const std::string folder = root_folder() + "/windows";
        const DWORD error = make_folders(folder);
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return 0;
        }
        const UINT length = static_cast<UINT>(folder.size());
        if (!buffer || size <= length)
            return length + 1;
        std::memcpy(buffer, folder.c_str(), folder.size() + 1);
        return length;
    });
}

} // extern "C"
