// The registry switch that lets the symbol loader fetch files from the station, or not.
#ifndef KSYM_FRAME_UPLOAD_SWITCH_H
#define KSYM_FRAME_UPLOAD_SWITCH_H

#include <cstdint>

#include "formats/symbol_file_location.h"

namespace ksym {

// The registry key of the library's configuration (formats/symbol_file_location.h).
using formats::kConfigKey;

// Reads the switch "EnableSymbolFileUpload": 0 turns the upload off, anything else or
// nothing leaves it on.
int32_t ReadUploadEnabled();

} // namespace ksym

#endif
