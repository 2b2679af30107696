#include "tools/ksym/failure_text.h"

#include "extern/kclient.h"
#include "include/ksymbol.h"
#include "tools/common/error_texts.h"

namespace ksymtool {

// Why the last open failed, in words.
std::string OpenFailure() {
    const int32_t code = KClientGetLastError();
    std::string text = KClientGetErrorText();
    switch (code) {
    case KSYM_ERR_NO_CONTEXT_SPACE:
        text = "too many channels are open";
        break;
    case KSYM_ERR_NO_THREAD:
        text = "the notification thread could not be started";
        break;
    default:
        break;
    }
    return (text.empty() ? std::string("the channel could not be opened") : text) + " (error " +
           std::to_string(code) + ")";
}

// Why a symbol load failed, in words.
std::string LoadFailure() {
    const int32_t code = KClientGetLastError();
    const char* text = code == KSYM_ERR_NO_CONTEXT_SPACE
                           ? "too many channels are open"
                           : "the symbol file could not be obtained from the station or read";
    return std::string(text) + " (error " + std::to_string(code) + ")";
}

std::string LastErrorText() {
    const int32_t code = KClientGetLastError();
    return ErrorText(code) + " (error " + std::to_string(code) + ")";
}

} // namespace ksymtool
