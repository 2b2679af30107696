// The last-error cell and the explanation of the last failed open, both per thread.
#include <string>

#include "extern/kclient.h"
#include "kclient/last_error.h"

namespace kclient {

namespace {
thread_local int32_t lastError = 0;
thread_local std::string errorText;
} // namespace

void Fail(int32_t code, const std::string& text) {
    lastError = code;
    errorText = text;
}

} // namespace kclient

extern "C" KCLIENT_API void KCLIENT_CALL KClientSetLastError(int32_t code) {
    kclient::lastError = code;
}

extern "C" KCLIENT_API int32_t KCLIENT_CALL KClientGetLastError(void) {
    return kclient::lastError;
}

extern "C" KCLIENT_API const char* KCLIENT_CALL KClientGetErrorText(void) {
    return kclient::errorText.c_str();
}
