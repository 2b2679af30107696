#include "symbols/loader_steps.h"

#include <cstring>
#include <new>
#include <vector>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "formats/telegram_layout.h"
#include "frame/reply_read.h"
#include "frame/telegram_io.h"

namespace ksym {

namespace {

using formats::kChunkHeader;
using formats::kServiceProjectId;
using formats::kServiceUpload;
using formats::kServiceUploadNext;
using formats::kStatusSize;

// A 16-bit or 32-bit field of a reply, in host order. The caller has checked the length.
template <typename T> T Field(const std::vector<uint8_t>& reply, size_t offset, int32_t swapBytes) {
    return GetField<T>(reply.data() + offset, swapBytes);
}

int Write(int32_t channel, const uint8_t* telegram, size_t length) {
    return SendTelegram(channel, telegram, static_cast<uint32_t>(length));
}

} // namespace

int SendProjectIdRequest(int32_t channel, ChannelContext& /*context*/) {
    KClientSetLastError(0);
    const uint8_t telegram[] = {kServiceProjectId};
    return Write(channel, telegram, sizeof telegram);
}

int SendUploadRequest(int32_t channel, ChannelContext& context, const char* name) {
    KClientSetLastError(0);
    if (name == nullptr) {
        const uint8_t telegram[] = {kServiceUploadNext};
        return Write(channel, telegram, sizeof telegram);
    }
    // The name with its zero byte, padded to an even length.
    const size_t nameLength = std::strlen(name);
    if (nameLength >= 0xFFFEu) {
        return 0;
    }
    const size_t fieldLength = (nameLength + 2u) & ~static_cast<size_t>(1);
    std::vector<uint8_t> telegram;
    try {
        telegram.assign(formats::kUploadNameField + fieldLength, 0);
    } catch (const std::bad_alloc&) {
        return 0; // as a request the client library refused
    }
    telegram[0] = kServiceUpload;
    auto lengthWord = static_cast<uint16_t>(fieldLength);
    KUtilSwap(context.swapBytes, &lengthWord, sizeof lengthWord);
    std::memcpy(&telegram[formats::kUploadNameLengthField], &lengthWord, sizeof lengthWord);
    std::memcpy(&telegram[formats::kUploadNameField], name, nameLength);
    return Write(channel, telegram.data(), telegram.size());
}

int ParseUploadReply(int32_t channel, ChannelContext& context, uint32_t replyLength) {
    KBufferedFileSerDev* device = context.uploadDevice.load();
    if (device == nullptr) {
        return kUploadUnusable;
    }
    std::vector<uint8_t> reply = ReadReply(channel, replyLength);
    if (reply.size() < kStatusSize) {
        return kUploadUnusable;
    }
    if (Field<uint16_t>(reply, 0, context.swapBytes) != 0) {
        context.uploadDevice.store(nullptr);
        return kUploadRefused;
    }
    // A chunk must hold its header and every data byte it announces.
    if (reply.size() < kChunkHeader) {
        return kUploadUnusable;
    }
    const uint16_t more = Field<uint16_t>(reply, formats::kChunkMoreField, context.swapBytes);
    const uint16_t dataLength =
        Field<uint16_t>(reply, formats::kChunkLengthField, context.swapBytes);
    if (reply.size() - kChunkHeader < dataLength) {
        return kUploadUnusable;
    }
    // A chunk the device could not take in would leave a file with a hole: the upload
    // fails rather than end with a file that looks complete.
    if (dataLength != 0 && device->PutBlock(reinterpret_cast<char*>(reply.data() + kChunkHeader),
                                            dataLength) != dataLength) {
        return kUploadUnusable;
    }
    if (more == 0) {
        context.uploadDevice.store(nullptr);
        return kUploadLast;
    }
    return kUploadMore;
}

int ParseProjectIdReply(int32_t channel, ChannelContext& context, uint32_t replyLength) {
    const std::vector<uint8_t> reply = ReadReply(channel, replyLength);
    if (reply.size() < formats::kProjectIdReply ||
        Field<uint16_t>(reply, 0, context.swapBytes) != 0) {
        return 0;
    }
    context.projectId.store(Field<int32_t>(reply, formats::kProjectIdIdField, context.swapBytes));
    return 1;
}

} // namespace ksym
