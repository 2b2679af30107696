// What every controller service does first.
#ifndef KSYM_SERVICES_SERVICE_START_H
#define KSYM_SERVICES_SERVICE_START_H

#include <cstdint>

#include "frame/channel_context.h"

namespace ksym {

// Writes the debug line (when one is given; it takes the channel as its one argument),
// records error 0 and finds the channel's context. Null, with error 19 recorded, when the
// library has none.
ChannelContext* BeginService(int32_t channel, const char* debugLine);

} // namespace ksym

#endif
