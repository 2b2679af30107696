// Module-wide settings, written once at attach before any other call can run, and the
// module entry's attach and detach.
#ifndef KSYM_FRAME_MODULE_SETTINGS_H
#define KSYM_FRAME_MODULE_SETTINGS_H

#include <cstdint>

#include "frame/upload_switch.h"
#include "frame/version.h"

namespace ksym {

struct ModuleSettings {
    uint32_t libraryVersion = 0; // returned by KSymVersion
    int32_t uploadEnabled = 1;   // nonzero: the symbol loader may fetch files from the station
};

// The process's settings. Written by ModuleAttach only.
ModuleSettings& Settings();

// The module entry's work: attach fills the settings and empties the channel table, detach
// deletes the contexts still in it.
void ModuleAttach();
void ModuleDetach();

} // namespace ksym

#endif
