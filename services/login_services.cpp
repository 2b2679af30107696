// Login and logout at the controller.
#include <cstdint>

#include "formats/telegram_layout.h"
#include "frame/exception_guard.h"
#include "frame/reply_read.h"
#include "frame/telegram_io.h"
#include "services/service_start.h"

namespace {

// The requests' layout and the accepting status words are formats/telegram_layout.h.
using formats::kLoginLength;
using formats::kLoginWords;
using formats::kLoginWordsField;

// 1 when the channel's current reply carries the expected status word.
int32_t StatusIs(int32_t channel, const char* debugLine, uint16_t expected) {
    return ksym::Guarded<int32_t>(0, [&] {
        const ksym::ChannelContext* context = ksym::BeginService(channel, debugLine);
        uint16_t status = 0;
        return context != nullptr && ksym::ReadStatusWord(channel, context->swapBytes, status) &&
                       status == expected
                   ? 1
                   : 0;
    });
}

} // namespace

extern "C" KSYM_API int32_t KSYM_CALL KSymLogin(int32_t channel) {
    return ksym::Guarded<int32_t>(0, [&] {
        const ksym::ChannelContext* context = ksym::BeginService(channel, "KSymLogin(C=%ld)\n");
        if (context == nullptr) {
            return 0;
        }
        uint8_t request[kLoginLength] = {formats::kServiceLogin};
        for (size_t i = 0; i < 3; ++i) {
            ksym::PutField<uint32_t>(request + kLoginWordsField + 4 * i, kLoginWords[i],
                                     context->swapBytes);
        }
        return ksym::SendTelegram(channel, request, sizeof request);
    });
}

extern "C" KSYM_API int32_t KSYM_CALL KSymLoginResult(int32_t channel) {
    return StatusIs(channel, "KSymLoginResult(C=%ld)\n", formats::kStatusLoginAccepted);
}

extern "C" KSYM_API int32_t KSYM_CALL KSymLogout(int32_t channel) {
    return ksym::Guarded<int32_t>(0, [&] {
        if (ksym::BeginService(channel, "KSymLogout(C=%ld)\n") == nullptr) {
            return 0;
        }
        const uint8_t request = formats::kServiceLogout;
        return ksym::SendTelegram(channel, &request, sizeof request);
    });
}

extern "C" KSYM_API int32_t KSYM_CALL KSymLogoutResult(int32_t channel) {
    return StatusIs(channel, "KSymLogoutResult(C=%ld)\n", formats::kStatusOk);
}
