// The library's version word: the project's four version components, one byte each.
#ifndef KSYM_FRAME_VERSION_H
#define KSYM_FRAME_VERSION_H

#include <cstdint>

namespace ksym {

// Composes the version word from its four decimal components, most significant first.
uint32_t ComposeVersion(const char* const components[4]);

// The word of this build's version (the project's, generated into the build).
uint32_t BuiltVersion();

} // namespace ksym

#endif
