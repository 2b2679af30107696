#include "frame/upload_switch.h"

#include "platform/win32.h"

namespace ksym {

namespace {
// Query value, enumerate subkeys, notify: what the switch needs and no more.
constexpr REGSAM kConfigReadAccess = 0x19;
} // namespace

int32_t ReadUploadEnabled() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, kConfigReadAccess, &key) !=
        ERROR_SUCCESS) {
        return 1;
    }
    // Whatever the value holds, up to four bytes of it lie over the preset 1; its type is
    // not asked for, so a value that is not a DWORD still decides by its first bytes.
    uint32_t cell = 1;
    DWORD size = sizeof cell;
    RegQueryValueExA(key, "EnableSymbolFileUpload", nullptr, nullptr,
                     reinterpret_cast<LPBYTE>(&cell), &size);
    RegCloseKey(key);
    return cell != 0 ? 1 : 0;
}

} // namespace ksym
