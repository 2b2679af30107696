#include "frame/module_settings.h"

#include <cstdlib>

#include "frame/channel_table.h"
#include "platform/win32.h"

namespace ksym {

namespace {
// The version components, in order of significance: 1.0.0.11.
const char* const kVersionComponents[4] = {"1", "0", "0", "11"};
// Query value, enumerate subkeys, notify: what the switch needs and no more.
constexpr REGSAM kConfigReadAccess = 0x19;
} // namespace

ModuleSettings& Settings() {
    static ModuleSettings settings;
    return settings;
}

uint32_t ComposeVersion(const char* const components[4]) {
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) {
        const long value = std::strtol(components[i], nullptr, 10);
        word = (word << 8) | (static_cast<uint32_t>(value) & 0xFFu);
    }
    return word;
}

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

void ModuleAttach() {
    ModuleSettings& settings = Settings();
    settings.libraryVersion = ComposeVersion(kVersionComponents);
    ChannelTable::Instance().Clear();
    settings.uploadEnabled = ReadUploadEnabled();
}

void ModuleDetach() {
    ChannelTable::Instance().DeleteAll();
}

} // namespace ksym
