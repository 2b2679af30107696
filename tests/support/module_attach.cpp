// For programs that link the library's objects directly: attach before main, detach after,
// as the module entry of the shared library does.
#include "frame/module_settings.h"

namespace {

struct ModuleLifetime {
    ModuleLifetime() { ksym::ModuleAttach(); }
    ~ModuleLifetime() { ksym::ModuleDetach(); }
    ModuleLifetime(const ModuleLifetime&) = delete;
    ModuleLifetime& operator=(const ModuleLifetime&) = delete;
};

const ModuleLifetime lifetime;

} // namespace
