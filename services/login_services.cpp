// Login and logout at the controller.
#include <cstdint>

#include "frame/exception_guard.h"
#include "frame/reply_read.h"
#include "frame/telegram_io.h"
#include "services/service_start.h"

namespace {

constexpr uint8_t kLoginService = 0x01;
constexpr uint8_t kLogoutService = 0x02;
constexpr uint16_t kLoginAccepted = 1000;
constexpr uint16_t kLogoutAccepted = 0;

// The login request: the service byte, the 32-bit words 3, 5 and 0, and two zero bytes.
constexpr size_t kLoginLength = 15;

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
        uint8_t request[kLoginLength] = {kLoginService};
        ksym::PutField<uint32_t>(request + 1, 3, context->swapBytes);
        ksym::PutField<uint32_t>(request + 5, 5, context->swapBytes);
        ksym::PutField<uint32_t>(request + 9, 0, context->swapBytes);
        return ksym::SendTelegram(channel, request, sizeof request);
    });
}

extern "C" KSYM_API int32_t KSYM_CALL KSymLoginResult(int32_t channel) {
    return StatusIs(channel, "KSymLoginResult(C=%ld)\n", kLoginAccepted);
}

extern "C" KSYM_API int32_t KSYM_CALL KSymLogout(int32_t channel) {
    return ksym::Guarded<int32_t>(0, [&] {
        if (ksym::BeginService(channel, "KSymLogout(C=%ld)\n") == nullptr) {
            return 0;
        }
        const uint8_t request = kLogoutService;
        return ksym::SendTelegram(channel, &request, sizeof request);
    });
}

extern "C" KSYM_API int32_t KSYM_CALL KSymLogoutResult(int32_t channel) {
    return StatusIs(channel, "KSymLogoutResult(C=%ld)\n", kLogoutAccepted);
}
