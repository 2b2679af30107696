#include "frame/module_settings.h"
#include "include/ksymbol.h"

extern "C" KSYM_API uint32_t KSYM_CALL KSymVersion(void) {
    return ksym::Settings().libraryVersion;
}
