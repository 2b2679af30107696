// Drives the loader's reply steps for the upload and the project-id check with replies the
// fuzzer makes up, through the scripted client library, as the dispatcher would: each reply
// becomes the channel's current one, then the step runs with the size the status announced.
// The replies come from the station and are untrusted; the sizes come from the client
// library and may not match the bytes it really holds.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "fakes/fake_kclient.h"
#include "frame/channel_context.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/reply_sequence.h"
#include "symbols/loader_steps.h"

namespace {

// No file can be opened under a path this long (the device holds 254 bytes of path), so
// the device accepts and drops every write and nothing reaches the disk.
char* UnopenablePath() {
    static std::vector<char> path = [] {
        std::vector<char> text(400, 'x');
        text.back() = '\0';
        return text;
    }();
    return path.data();
}

// An upload device that also keeps a copy of everything the step handed it, so that the
// bytes written can be compared with the chunk they came from.
class RecordingDevice : public KBufferedFileSerDev {
public:
    RecordingDevice() : KBufferedFileSerDev(UnopenablePath(), SD_WRITE) {}
    long PutBlock(char* data, long n) override {
        const long taken = KBufferedFileSerDev::PutBlock(data, n);
        if (taken > 0) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(data);
            written.insert(written.end(), bytes, bytes + taken);
        }
        return taken;
    }
    std::vector<uint8_t> written;
};

// A 16-bit or 32-bit field of a reply: little-endian (the host's order on every machine
// this runs on) unless swap is set. Assembled byte by byte, independently of the byte-swap
// helper the steps use.
uint32_t StationField(const std::vector<uint8_t>& reply, size_t at, size_t width, int32_t swap) {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        const size_t from = swap != 0 ? at + width - 1 - i : at + i;
        value |= static_cast<uint32_t>(reply[from]) << (8 * i);
    }
    return value;
}

// What the step can see of the reply: the client library hands over at most the announced
// size.
std::vector<uint8_t> Visible(const std::vector<uint8_t>& bytes, uint32_t announced) {
    const size_t count = announced < bytes.size() ? announced : bytes.size();
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(count));
}

void CheckUploadStep(ksym::ChannelContext& context, int32_t channel, uint32_t announced,
                     const std::vector<uint8_t>& visible, RecordingDevice* device) {
    const size_t writtenBefore = device != nullptr ? device->written.size() : 0;
    const int result = ksym::ParseUploadReply(channel, context, announced);
    FUZZ_CHECK(result >= ksym::kUploadUnusable && result <= ksym::kUploadLast);
    if (device == nullptr) {
        FUZZ_CHECK(result == ksym::kUploadUnusable);
        FUZZ_CHECK(context.uploadDevice.load() == nullptr);
        return;
    }
    const size_t written = device->written.size() - writtenBefore;
    const bool withdrawn = context.uploadDevice.load() == nullptr;
    FUZZ_CHECK(withdrawn == (result == ksym::kUploadRefused || result == ksym::kUploadLast));
    switch (result) {
    case ksym::kUploadUnusable:
    case ksym::kUploadRefused:
        FUZZ_CHECK(written == 0);
        FUZZ_CHECK(result == ksym::kUploadUnusable || visible.size() >= 2);
        FUZZ_CHECK(result == ksym::kUploadUnusable ||
                   StationField(visible, 0, 2, context.swapBytes) != 0);
        break;
    default: { // a stored chunk: exactly the data bytes it announced, from where they lie
        FUZZ_CHECK(visible.size() >= 6);
        FUZZ_CHECK(StationField(visible, 0, 2, context.swapBytes) == 0);
        const uint32_t more = StationField(visible, 2, 2, context.swapBytes);
        const uint32_t length = StationField(visible, 4, 2, context.swapBytes);
        FUZZ_CHECK((result == ksym::kUploadLast) == (more == 0));
        FUZZ_CHECK(visible.size() - 6 >= length);
        FUZZ_CHECK(written == length);
        for (size_t i = 0; i < length; ++i) {
            FUZZ_CHECK(device->written[writtenBefore + i] == visible[6 + i]);
        }
        break;
    }
    }
}

void CheckProjectIdStep(ksym::ChannelContext& context, int32_t channel, uint32_t announced,
                        const std::vector<uint8_t>& visible) {
    // A reply the step does not accept must leave the identifier as it was.
    const int32_t before = context.projectId.load();
    const int result = ksym::ParseProjectIdReply(channel, context, announced);
    FUZZ_CHECK(result == 0 || result == 1);
    if (result == 0) {
        FUZZ_CHECK(context.projectId.load() == before);
        return;
    }
    FUZZ_CHECK(visible.size() >= 6);
    FUZZ_CHECK(StationField(visible, 0, 2, context.swapBytes) == 0);
    FUZZ_CHECK(static_cast<uint32_t>(context.projectId.load()) ==
               StationField(visible, 2, 4, context.swapBytes));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ksymfuzz::ReplySequence sequence = ksymfuzz::DecodeReplySequence(data, size);
    fake::Reset();
    const int32_t channel = KClientOpenChannelEx(nullptr, 0, nullptr, 0, nullptr);
    FUZZ_CHECK(channel > 0);

    ksym::ChannelContext context;
    context.swapBytes = sequence.swapBytes;
    std::vector<std::unique_ptr<RecordingDevice>> devices; // every one handed out, kept alive
    devices.push_back(std::make_unique<RecordingDevice>());
    RecordingDevice* armed = devices.back().get();
    context.uploadDevice.store(armed);

    for (const ksymfuzz::ReplyRecord& record : sequence.records) {
        if (context.uploadDevice.load() == nullptr && (record.control & ksymfuzz::kRearmUpload)) {
            devices.push_back(std::make_unique<RecordingDevice>());
            armed = devices.back().get();
            context.uploadDevice.store(armed);
        }
        if (context.uploadDevice.load() == nullptr) {
            armed = nullptr;
        }
        fake::QueueReply(channel, COMM_MESSAGEREADY, record.announced, record.bytes);
        uint32_t announced = 0;
        FUZZ_CHECK(KClientGetReplyStatus(channel, &announced) == COMM_MESSAGEREADY);
        FUZZ_CHECK(announced == record.announced);
        const std::vector<uint8_t> visible = Visible(record.bytes, announced);
        if (record.control & ksymfuzz::kStepProjectId) {
            CheckProjectIdStep(context, channel, announced, visible);
        } else {
            CheckUploadStep(context, channel, announced, visible, armed);
        }
    }
    context.uploadDevice.store(nullptr);
    KClientCloseChannel(channel);
    return 0;
}
