#include "frame/version.h"

#include <cstdlib>

#include "frame/module_settings.h"
#include "include/ksymbol.h"
#include "version_components.h"

namespace ksym {

uint32_t ComposeVersion(const char* const components[4]) {
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) {
        const long value = std::strtol(components[i], nullptr, 10);
        word = (word << 8) | (static_cast<uint32_t>(value) & 0xFFu);
    }
    return word;
}

uint32_t BuiltVersion() {
    static const char* const kComponents[4] = KSYM_VERSION_COMPONENTS;
    return ComposeVersion(kComponents);
}

} // namespace ksym

extern "C" KSYM_API uint32_t KSYM_CALL KSymVersion(void) {
    return ksym::Settings().libraryVersion;
}
