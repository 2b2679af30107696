// Module-wide settings, written once at attach before any other call can run.
#ifndef KSYM_FRAME_MODULE_SETTINGS_H
#define KSYM_FRAME_MODULE_SETTINGS_H

#include <cstdint>

namespace ksym {

// The registry key under HKEY_LOCAL_MACHINE that holds the library's configuration.
inline constexpr const char kConfigKey[] = "Software\\Quorvane\\Korvan Server\\Config";

struct ModuleSettings {
    uint32_t libraryVersion = 0; // returned by KSymVersion
    int32_t uploadEnabled = 1;   // nonzero: the symbol loader may fetch files from the station
};

// The process's settings. Written by ModuleAttach only.
ModuleSettings& Settings();

// Composes the version word from its four decimal components, most significant first.
uint32_t ComposeVersion(const char* const components[4]);
// Reads the switch "EnableSymbolFileUpload": 0 turns the upload off, anything else or
// nothing leaves it on.
int32_t ReadUploadEnabled();

// The module entry's work: attach fills the settings and empties the channel table, detach
// deletes the contexts still in it.
void ModuleAttach();
void ModuleDetach();

} // namespace ksym

#endif
