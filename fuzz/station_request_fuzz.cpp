// Feeds a sequence of requests to a simulated controller, as the station server and the
// client's embedded simulator hand a channel's telegrams to Controller::Handle: reads,
// writes, uploads, login and logout, the project id, unknown services and control commands,
// on a controller configured with the sample project and a manual clock.
//
// Input: byte 0, bit 0: big-endian controller; bit 1: values=pattern (no plant); bytes 1
// and 2: the upload chunk size (16 bits, little-endian; 0 means 1); then requests, each a
// length L (16 bits, little-endian) and L bytes (fewer when the input ends first). The
// control commands fuzz/control_filter.h names (project=PATH, which reads a file, and
// clock=real) are dropped before they reach the controller.
//
// Checked, for every request the faults let through:
//   read      the reply is the malformed status alone exactly when the request is shorter
//             than 6 bytes or than its count says, or its reply would exceed kMaxReadReply;
//             else it is 2 + 4 + per item 1 + size (1 for a bit) bytes, the counter counts
//             the well-formed reads, and every item is present exactly when it lies in an
//             area and no byte of it is absent, with the memory's bytes (zeros if absent);
//   write     refused: no memory byte changes; accepted: memory is what it was with every
//             item applied in order;
//   upload    every chunk carries at most the configured chunk size; the chunks of an
//             upload, put together, are the symbol file it began with;
//   login, logout, project id and control: the status words and the login state;
//   and the bytes allocated while one request is handled stay within a small multiple of
//   the request's length and the reply's size, plus a constant.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "fuzz/control_filter.h"
#include "fuzz/fuzz_check.h"
#include "formats/byte_order.h"
#include "plcsim/controller.h"

// Counts what operator new hands out while a request is handled. The target is one thread;
// the counter is atomic only because libFuzzer's own threads may allocate meanwhile.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<size_t> g_allocated{0};

void* CountedAllocation(size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocated.fetch_add(size, std::memory_order_relaxed);
    }
    return std::malloc(size == 0 ? 1 : size);
}
} // namespace

void* operator new(size_t size) {
    void* p = CountedAllocation(size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocation(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocation(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace {

using formats::ByteOrder;
using plcsim::Controller;
using plcsim::Fault;
using plcsim::Outcome;

// Small areas keep every input quick; the sample project's variables lie in the first 200
// bytes.
constexpr uint32_t kAreaSize = 512;
// What handling a request may allocate beyond a few times its length and its reply.
constexpr size_t kAllocationSlack = 64 * 1024;

using Areas = std::vector<std::vector<uint8_t>>;

Areas Snapshot(const Controller& controller) {
    Areas areas(plcsim::kMemoryAreas);
    for (uint16_t area = 0; area < plcsim::kMemoryAreas; ++area) {
        FUZZ_CHECK(controller.ReadMemory(area, 0, kAreaSize, areas[area]));
    }
    return areas;
}

struct State {
    ByteOrder order = ByteOrder::Little;
    uint32_t chunkSize = 1;
    uint32_t readsAnswered = 0;
    plcsim::Session session;
    // The upload in progress as the replies showed it: the file it began with and the bytes
    // received so far.
    std::shared_ptr<const std::vector<uint8_t>> uploading;
    std::vector<uint8_t> received;
    bool verifiable = true; // false once a chunk of the upload was cut by a fault
};

uint32_t Field(const std::vector<uint8_t>& bytes, size_t at, int width, ByteOrder order) {
    FUZZ_CHECK(bytes.size() >= at + static_cast<size_t>(width));
    return formats::Get(bytes.data() + at, width, order);
}

bool Accessible(const plcsim::Config& config, uint16_t area, uint32_t offset, uint32_t size) {
    if (area >= plcsim::kMemoryAreas) {
        return false;
    }
    uint64_t first = offset;
    uint64_t end = first + size;
    if (size == 0) {
        first = offset / 8;
        end = first + 1;
    }
    if (end > kAreaSize) {
        return false;
    }
    for (const plcsim::MemoryAddress& absent : config.absent) {
        if (absent.area == area && absent.offset >= first && absent.offset < end) {
            return false;
        }
    }
    return true;
}

// The size of a read's reply as its request calls for it: 2 + 4 + per item 1 + size (1 for
// a bit); 0 for a request that gets the malformed status alone.
uint64_t ReadReplySize(const uint8_t* request, size_t length, ByteOrder order) {
    if (length < 6) {
        return 0;
    }
    const uint32_t count = formats::Get(request + 2, 4, order);
    if ((length - 6) / 10 < count) {
        return 0;
    }
    uint64_t size = 6;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t itemSize = formats::Get(request + 6 + 10 * i + 6, 4, order);
        size += 1 + (itemSize == 0 ? 1 : static_cast<uint64_t>(itemSize));
        if (size > plcsim::kMaxReadReply) {
            return 0;
        }
    }
    return size;
}

void CheckRead(State& state, const plcsim::Config& config, const uint8_t* request, size_t length,
               const std::vector<uint8_t>& reply, const Areas& memory) {
    const ByteOrder order = state.order;
    const uint64_t expected = ReadReplySize(request, length, order);
    const bool malformed = expected == 0;
    const uint32_t count = malformed ? 0 : formats::Get(request + 2, 4, order);
    FUZZ_CHECK(reply.size() <= plcsim::kMaxReadReply);
    if (malformed) {
        FUZZ_CHECK(reply.size() == 2 && Field(reply, 0, 2, order) == formats::kStatusMalformed);
        return;
    }
    FUZZ_CHECK(reply.size() == expected);
    FUZZ_CHECK(Field(reply, 0, 2, order) == formats::kStatusOk);
    FUZZ_CHECK(Field(reply, 2, 4, order) == ++state.readsAnswered);
    size_t at = 6;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* item = request + 6 + 10 * i;
        const auto area = static_cast<uint16_t>(formats::Get(item, 2, order));
        const uint32_t offset = formats::Get(item + 2, 4, order);
        const uint32_t size = formats::Get(item + 6, 4, order);
        const bool present = Accessible(config, area, offset, size);
        FUZZ_CHECK(reply[at++] == (present ? 1 : 0));
        if (size == 0) {
            const int bit = present ? (memory[area][offset / 8] >> (offset % 8)) & 1 : 0;
            FUZZ_CHECK(reply[at++] == bit);
            continue;
        }
        for (uint32_t b = 0; b < size; ++b) {
            FUZZ_CHECK(reply[at + b] == (present ? memory[area][offset + b] : 0));
        }
        at += size;
    }
}

// The memory a write leaves when it is accepted: its items applied in order. False when the
// request does not hold its items (the controller must refuse it then).
bool ApplyWrite(ByteOrder order, const uint8_t* request, size_t length, Areas& memory) {
    if (length < 6) {
        return false;
    }
    const uint32_t count = formats::Get(request + 2, 4, order);
    size_t at = 6;
    for (uint32_t i = 0; i < count; ++i) {
        if (length - at < 10) {
            return false;
        }
        const auto area = static_cast<uint16_t>(formats::Get(request + at, 2, order));
        const uint32_t offset = formats::Get(request + at + 2, 4, order);
        const uint32_t size = formats::Get(request + at + 6, 4, order);
        at += 10;
        const size_t valueSize = size == 0 ? 1 : size;
        if (length - at < valueSize || area >= plcsim::kMemoryAreas) {
            return false;
        }
        if (size == 0) {
            if (offset / 8 >= kAreaSize) {
                return false;
            }
            const auto mask = static_cast<uint8_t>(1u << (offset % 8));
            uint8_t& byte = memory[area][offset / 8];
            byte = request[at] != 0 ? static_cast<uint8_t>(byte | mask)
                                    : static_cast<uint8_t>(byte & ~mask);
        } else {
            if (static_cast<uint64_t>(offset) + size > kAreaSize) {
                return false;
            }
            std::memcpy(memory[area].data() + offset, request + at, size);
        }
        at += valueSize;
    }
    return true;
}

void CheckUploadReply(State& state, bool begins, const std::vector<uint8_t>& reply) {
    const ByteOrder order = state.order;
    const uint32_t status = Field(reply, 0, 2, order);
    const uint32_t more = Field(reply, 2, 2, order);
    const uint32_t data = Field(reply, 4, 2, order);
    FUZZ_CHECK(reply.size() == 6 + static_cast<size_t>(data));
    if (status != formats::kStatusOk) {
        FUZZ_CHECK(status == formats::kStatusRefused && more == 0 && data == 0);
        FUZZ_CHECK(state.session.upload == nullptr);
        state.uploading.reset();
        return;
    }
    if (begins) {
        state.received.clear();
        state.verifiable = true;
    }
    FUZZ_CHECK(data <= state.chunkSize);
    FUZZ_CHECK(more == 0 || data == state.chunkSize);
    FUZZ_CHECK((more == 0) == (state.session.upload == nullptr));
    if (!state.verifiable) {
        return;
    }
    FUZZ_CHECK(state.uploading != nullptr);
    state.received.insert(state.received.end(), reply.begin() + 6, reply.end());
    FUZZ_CHECK(state.received.size() <= state.uploading->size());
    if (more == 0) {
        FUZZ_CHECK(state.received == *state.uploading);
        state.uploading.reset();
    }
}

void HandleOne(Controller& controller, State& state, const uint8_t* request, size_t length) {
    const uint8_t service = length == 0 ? 0 : request[0];
    if (ksymfuzz::WithheldControl(request, length)) {
        return;
    }
    // Brings the plant up to the clock first, so that what the request itself changes can
    // be told from what the plant does on its own.
    controller.AdvanceClock(0);
    const plcsim::Config config = controller.GetConfig();
    const Areas before = Snapshot(controller);
    const bool wasLoggedIn = controller.LoggedIn();
    if (service == formats::kServiceUpload) {
        state.uploading = controller.GetProject().sdb;
    }
    const auto& faults = config.faults;

    g_allocated.store(0);
    g_counting.store(true);
    const Outcome outcome = controller.Handle(state.session, request, length);
    g_counting.store(false);
    const size_t allocated = g_allocated.load();
    FUZZ_CHECK(allocated <= 8 * length + 2 * outcome.reply.size() + kAllocationSlack);

    const std::vector<uint8_t>& reply = outcome.reply;
    const ByteOrder order = state.order;
    if (service == formats::kServiceControl) {
        FUZZ_CHECK(outcome.kind == Outcome::Kind::Reply && reply.size() == 2);
        const uint32_t status = Field(reply, 0, 2, order);
        FUZZ_CHECK(status == formats::kStatusOk || status == formats::kStatusRefused);
        return;
    }
    const bool unprocessed =
        faults.count(Fault::Silent) + faults.count(Fault::Fatal) + faults.count(Fault::Empty) != 0;
    if (unprocessed) {
        FUZZ_CHECK(reply.empty());
        FUZZ_CHECK(Snapshot(controller) == before);
        return;
    }
    FUZZ_CHECK(outcome.kind == Outcome::Kind::Reply);
    const bool cut = faults.count(Fault::Short) != 0 ||
                     (service == formats::kServiceRead && faults.count(Fault::ShortRead) != 0);
    // The reply as it was before the fault cut its last byte: only its length is known then.
    std::vector<uint8_t> whole = reply;
    if (cut) {
        whole.push_back(0);
    }
    const bool refuse = faults.count(Fault::Refuse) != 0;
    switch (service) {
    case formats::kServiceRead:
        if (cut) {
            // The value bytes are no longer all there; the length and the counter still are.
            const uint64_t expected = ReadReplySize(request, length, order);
            FUZZ_CHECK(whole.size() == (expected == 0 ? 2 : expected));
            state.readsAnswered += expected == 0 ? 0 : 1;
        } else {
            CheckRead(state, config, request, length, reply, before);
        }
        break;
    case formats::kServiceWrite: {
        Areas expected = before;
        const bool fits = ApplyWrite(order, request, length, expected);
        FUZZ_CHECK(whole.size() == 2);
        const Areas after = Snapshot(controller);
        if (cut) {
            // The status is gone; the memory is still all or nothing.
            FUZZ_CHECK(after == before || after == expected);
            break;
        }
        const uint32_t status = Field(reply, 0, 2, order);
        FUZZ_CHECK(status == formats::kStatusOk || status == formats::kStatusRefused);
        const bool accepted = status == formats::kStatusOk;
        FUZZ_CHECK(!accepted || (fits && !refuse));
        // Without absent bytes, nothing else may refuse a write that fits.
        FUZZ_CHECK(accepted || refuse || !fits || !config.absent.empty());
        FUZZ_CHECK(after == (accepted ? expected : before));
        break;
    }
    case formats::kServiceUpload:
    case formats::kServiceUploadNext:
        if (cut) {
            // The chunk's bytes are not all there: this upload cannot be put together.
            state.uploading.reset();
            state.verifiable = false;
        } else {
            CheckUploadReply(state, service == formats::kServiceUpload, reply);
        }
        break;
    case formats::kServiceLogin:
        FUZZ_CHECK(whole.size() == 2);
        FUZZ_CHECK(controller.LoggedIn() == (length >= 15 && !refuse ? true : wasLoggedIn));
        if (!cut) {
            FUZZ_CHECK(Field(reply, 0, 2, order) == (length >= 15 && !refuse
                                                         ? formats::kStatusLoginAccepted
                                                         : formats::kStatusRefused));
        }
        break;
    case formats::kServiceLogout:
        FUZZ_CHECK(whole.size() == 2);
        FUZZ_CHECK(controller.LoggedIn() == (refuse ? wasLoggedIn : false));
        break;
    case formats::kServiceProjectId:
        FUZZ_CHECK(whole.size() >= 10);
        if (!cut) {
            FUZZ_CHECK(Field(reply, 2, 4, order) ==
                       static_cast<uint32_t>(controller.GetProject().id));
        }
        break;
    default:
        FUZZ_CHECK(whole.size() == 2);
        if (!cut) {
            FUZZ_CHECK(Field(reply, 0, 2, order) == formats::kStatusUnknownService);
        }
        break;
    }
    if (service != formats::kServiceWrite) {
        FUZZ_CHECK(Snapshot(controller) == before);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    plcsim::Config config;
    config.order = (data[0] & 1) != 0 ? ByteOrder::Big : ByteOrder::Little;
    config.pattern = (data[0] & 2) != 0;
    config.manualClock = true;
    config.memorySize = kAreaSize;
    const uint32_t chunk = static_cast<uint32_t>(data[1] | data[2] << 8);
    config.chunkSize = chunk == 0 ? 1 : chunk;
    Controller controller;
    std::string error;
    FUZZ_CHECK(controller.Configure(config, error));

    State state;
    state.order = config.order;
    state.chunkSize = config.chunkSize;
    size_t at = 3;
    while (size - at >= 2) {
        const size_t length = static_cast<size_t>(data[at] | data[at + 1] << 8);
        at += 2;
        const size_t taken = length < size - at ? length : size - at;
        // An exact copy, so that a read past the request's end is seen.
        const std::vector<uint8_t> request(data + at, data + at + taken);
        at += taken;
        HandleOne(controller, state, request.data(), request.size());
    }
    return 0;
}
