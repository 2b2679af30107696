// Project identity: the symbol table's identifier, and the controller's identification.
#include "services/project_identification.h"

#include <cstring>
#include <new>
#include <vector>

#include "extern/kclient.h"
#include "formats/telegram_layout.h"
#include "frame/exception_guard.h"
#include "frame/project_info.h"
#include "frame/reply_read.h"
#include "frame/telegram_io.h"
#include "services/service_start.h"

namespace ksym {

namespace {

// The reply's layout is formats/telegram_layout.h; this reader also takes its 5-byte form.
using formats::kProjectIdIdField;
using formats::kProjectIdNumberField;
using formats::kProjectIdReply;
using formats::kProjectIdShortIdField;
using formats::kProjectIdTextsField;
using formats::kServiceProjectId;

} // namespace

uint32_t TakeProjectIdentification(const uint8_t* reply, size_t length, int32_t swapBytes,
                                   ProjectInfo& info) {
    ClearProjectInfo(info);
    const size_t idField =
        length == kMinProjectIdReply ? kProjectIdShortIdField : kProjectIdIdField;
    info.infoProjectId = GetField<uint32_t>(reply + idField, swapBytes);
    if (length > kProjectIdReply) {
        if (length >= kProjectIdNumberField + sizeof(uint32_t)) {
            info.infoNumber = GetField<uint32_t>(reply + kProjectIdNumberField, swapBytes);
        }
        char** const texts[] = {&info.infoText4, &info.infoText5, &info.infoText1, &info.infoText2,
                                &info.infoText3};
        size_t place = kProjectIdTextsField;
        for (char** text : texts) {
            const uint8_t* start = reply + place;
            const void* end = place < length ? std::memchr(start, 0, length - place) : nullptr;
            if (end == nullptr) {
                // Missing or cut off by the reply's end: empty, and so are the texts after it.
                *text = DuplicateText("", 0);
                place = length;
                continue;
            }
            const size_t textLength = static_cast<size_t>(static_cast<const uint8_t*>(end) - start);
            *text = DuplicateText(reinterpret_cast<const char*>(start), textLength);
            place += textLength + 1;
        }
        for (char** text : texts) {
            if (*text == nullptr) {
                ClearProjectInfo(info);
                throw std::bad_alloc();
            }
        }
    }
    return info.infoProjectId;
}

} // namespace ksym

extern "C" KSYM_API int32_t KSYM_CALL KSymGetProjectId(int32_t channel) {
    return ksym::Guarded<int32_t>(0, [&] {
        const ksym::ChannelContext* context =
            ksym::BeginService(channel, "KSymGetProjectId(C=%ld)\n");
        return context != nullptr ? context->projectId.load() : 0;
    });
}

extern "C" KSYM_API ProjectInfo* KSYM_CALL KSymGetProjectInfo(int32_t channel) {
    return ksym::Guarded<ProjectInfo*>(nullptr, [&] {
        ksym::ChannelContext* context = ksym::BeginService(channel, nullptr);
        return context != nullptr ? &context->projectInfo : nullptr;
    });
}

extern "C" KSYM_API int32_t KSYM_CALL KSymPLCProjectId(int32_t channel) {
    return ksym::Guarded<int32_t>(0, [&] {
        if (ksym::BeginService(channel, "KSymPLCProjectId(C=%ld)\n") == nullptr) {
            return 0;
        }
        const uint8_t request = formats::kServiceProjectId;
        return ksym::SendTelegram(channel, &request, sizeof request);
    });
}

extern "C" KSYM_API int32_t KSYM_CALL KSymPLCProjectIdResult(int32_t channel, uint32_t* projectId) {
    return ksym::Guarded<int32_t>(0, [&] {
        ksym::ChannelContext* context =
            ksym::BeginService(channel, "KSymPLCProjectIdResult(C=%ld)\n");
        if (context == nullptr) {
            return 0;
        }
        const std::vector<uint8_t> reply =
            ksym::ReadReply(channel, KClientDllKGetDataSize(channel));
        if (reply.size() < ksym::kMinProjectIdReply) {
            return 0;
        }
        const uint32_t id = ksym::TakeProjectIdentification(
            reply.data(), reply.size(), context->swapBytes, context->projectInfo);
        if (projectId != nullptr) {
            *projectId = id;
        }
        return 1;
    });
}
