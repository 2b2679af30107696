#ifndef KSYM_KCLIENT_LAST_ERROR_H
#define KSYM_KCLIENT_LAST_ERROR_H

#include <cstdint>
#include <string>

namespace kclient {

// Records code in the calling thread's last-error cell, with an explanation.
void Fail(int32_t code, const std::string& text);

} // namespace kclient

#endif
