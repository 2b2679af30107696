// The module's entry point: DllMain on Windows, an ELF constructor and destructor elsewhere.
#include "frame/module_settings.h"
#include "platform/win32.h"

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        ksym::ModuleAttach();
        break;
    case DLL_PROCESS_DETACH:
        ksym::ModuleDetach();
        break;
    default: // thread attach and detach need nothing
        break;
    }
    return TRUE;
}

#else

namespace {
__attribute__((constructor)) void KSymProcessAttach() {
    ksym::ModuleAttach();
}
__attribute__((destructor)) void KSymProcessDetach() {
    ksym::ModuleDetach();
}
} // namespace

#endif
