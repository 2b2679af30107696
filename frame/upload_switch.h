// The registry switch that lets the symbol loader fetch files from the station, or not.
#ifndef KSYM_FRAME_UPLOAD_SWITCH_H
#define KSYM_FRAME_UPLOAD_SWITCH_H

#include <cstdint>

namespace ksym {

// The registry key under HKEY_LOCAL_MACHINE that holds the library's configuration.
inline constexpr const char kConfigKey[] = "Software\\Quorvane\\Korvan Server\\Config";

// Reads the switch "EnableSymbolFileUpload": 0 turns the upload off, anything else or
// nothing leaves it on.
int32_t ReadUploadEnabled();

} // namespace ksym

#endif
