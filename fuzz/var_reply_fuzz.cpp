// Drives the reading of a variable list with replies the fuzzer makes up: the list is
// defined through KSymDefineVarList on a channel with a small symbol table, its first
// telegram sent through KSymSendVarList, and each reply made the channel's current one
// through the scripted client library before the reply step runs, as the notification
// thread would run it; while the read goes on, the next telegram is sent as the dispatcher
// sends it. Project identification replies, read through KSymPLCProjectIdResult, may come
// in between. The replies are untrusted; their lengths and presence bytes are the station's.
// The input layout is in fuzz/var_reply_input.h.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "fakes/fake_kclient.h"
#include "frame/channel_table.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/reply_sequence.h"
#include "fuzz/var_reply_input.h"
#include "include/ksymbol.h"
#include "formats/sdb_writer.h"
#include "symbols/sdb_reader.h"
#include "symbols/symbol_table.h"
#include "varlist/pending_read.h"
#include "varlist/var_list.h"

namespace {

using ksymfuzz::FuzzVariable;

// The symbols kVariables names, with the types that give them their sizes and element
// sizes: plain ones, arrays of them, a string, a data block, a type of size 0 and a symbol
// whose name is a direct address.
std::vector<uint8_t> SymbolFile() {
    formats::SdbProject project;
    project.projectId = 0x2026120C;
    project.types = {
        {1, 1, "BOOL", 0, 0, {}, 0},
        {2, 2, "INT", 0, 0, {}, 0},
        {4, 4, "DINT", 0, 0, {}, 0},
        {6, 8, "LREAL", 0, 0, {}, 0},
        {formats::kSdbCodeArray, 20, "INTARR10", 1, 10, {}, 0},
        {formats::kSdbCodeString, 21, "STR20", 0, 0, {}, 0},
        {formats::kSdbCodeDataBlock, 48, "DB48", 0, 0, {}, 0},
        {formats::kSdbCodeNone, 0, "NONE", 0, 0, {}, 0},
        {formats::kSdbCodeArray, 12, "DINTARR3", 2, 3, {}, 0},
        {formats::kSdbCodePlain8, 6, "RAW6", 0, 0, {}, 0},
    };
    project.variables = {
        {"Line1.Start", 0, 0, 1, 0},     {"Line1.Speed", 1, 0, 1, 8},
        {"Line1.Position", 2, 0, 1, 12}, {"Line2.Temperature", 3, 0, 1, 40},
        {"Line1.Sensors", 4, 0, 1, 20},  {"Line1.Recipe", 5, 0, 3, 4},
        {"Line1.Motors", 6, 0, 3, 28},   {"Line2.Spare", 7, 0, 3, 166},
        {"Line1.Counts", 8, 0, 3, 116},  {"Line2.Raw", 9, 0, 2, 0},
        {"%MD8", 1, 0, 2, 100},
    };
    return formats::WriteSdb(project);
}

// A context for the channel with the symbol table read and indexed. Made anew for every
// input and removed after it, so that nothing outlives the input: the entries' text
// pointers sit unaligned in packed records, where the leak checker would not see them.
ksym::ChannelContext& SymbolContext(int32_t channel) {
    static std::vector<uint8_t> file = SymbolFile();
    ksym::ChannelContext* context = ksym::CreateChannelContext(channel);
    FUZZ_CHECK(context != nullptr);
    KMemSerDev device(reinterpret_cast<char*>(file.data()), static_cast<long>(file.size()),
                      SD_READ);
    FUZZ_CHECK(ksym::ReadSdbFile(device, *context) == 1);
    FUZZ_CHECK(ksym::BuildSymbolIndex(*context));
    return *context;
}

// A field of `width` bytes in the station's order, assembled byte by byte, independently
// of the byte-swap helper the library uses.
uint32_t StationField(const uint8_t* at, size_t width, int32_t swap) {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        const size_t from = swap != 0 ? width - 1 - i : i;
        value |= static_cast<uint32_t>(at[from]) << (8 * i);
    }
    return value;
}

void PutStationField(std::vector<uint8_t>& out, uint32_t value, size_t width, int32_t swap) {
    for (size_t i = 0; i < width; ++i) {
        const size_t shift = swap != 0 ? 8 * (width - 1 - i) : 8 * i;
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

// The error the definition must record for these variables and this block size, judged
// variable by variable in list order; 0 when the list can be made.
int32_t ExpectedDefineError(const std::vector<const FuzzVariable*>& variables, uint64_t block) {
    for (const FuzzVariable* variable : variables) {
        if (variable == nullptr) {
            return KSYM_ERR_NO_SYMBOLS;
        }
        const uint64_t size = ksymfuzz::ValueBytes(*variable);
        if (size + 1 > block) {
            return KSYM_ERR_TOO_BIG_READ;
        }
        if (6 + size + 11 > block) {
            return KSYM_ERR_TOO_BIG_WRITE;
        }
    }
    return 0;
}

// The request telegram a planned telegram must be: service, a zero byte, the item count,
// then area, offset and size of each item, every field in the station's order.
std::vector<uint8_t> ExpectedRequest(const std::vector<const FuzzVariable*>& variables,
                                     const ksymfuzz::TelegramPlan& telegram, int32_t swap) {
    std::vector<uint8_t> out{0x2E, 0};
    PutStationField(out, static_cast<uint32_t>(telegram.count), 4, swap);
    for (size_t i = telegram.first; i < telegram.first + telegram.count; ++i) {
        PutStationField(out, variables[i]->area, 2, swap);
        PutStationField(out, variables[i]->offset, 4, swap);
        PutStationField(out, variables[i]->size, 4, swap);
    }
    return out;
}

// The read under way and what it must produce.
struct ReadCheck {
    int32_t channel = 0;
    ksym::ChannelContext* context = nullptr;
    ksym::VarList* list = nullptr;
    std::vector<const FuzzVariable*> variables;
    std::vector<ksymfuzz::TelegramPlan> plan;
    int32_t swap = 0;
    size_t sent = 0; // telegrams the fake has seen

    bool InProgress() const { return context->pendingRead.load() != nullptr; }

    // The last telegram the library wrote must be the planned one.
    void CheckSent(size_t telegram) {
        const std::vector<fake::Telegram> telegrams = fake::Telegrams();
        FUZZ_CHECK(telegrams.size() == sent + 1);
        sent = telegrams.size();
        FUZZ_CHECK(telegrams.back().channel == channel);
        FUZZ_CHECK(telegrams.back().bytes == ExpectedRequest(variables, plan[telegram], swap));
    }

    void Start() {
        FUZZ_CHECK(KSymSendVarList(channel, list) == 1);
        FUZZ_CHECK(context->pendingRead.load() == list);
        FUZZ_CHECK(list->nextTelegram == 0 && list->valuesReceived == 0);
        CheckSent(0);
        // A second start while the first read is under way is refused and sends nothing.
        FUZZ_CHECK(KSymSendVarList(channel, list) == 0);
        FUZZ_CHECK(KClientGetLastError() == KSYM_ERR_READ_PENDING);
        FUZZ_CHECK(fake::Telegrams().size() == sent);
    }

    // The reply step on the current reply `bytes`, then the dispatcher's next send.
    void Step(const std::vector<uint8_t>& bytes) {
        const uint32_t telegram = list->nextTelegram;
        const ksymfuzz::TelegramPlan& planned = plan[telegram];
        FUZZ_CHECK(list->replyLengths[telegram] == planned.replyLength);
        // The records as they were: a value the reply does not deliver keeps its bytes.
        std::vector<std::vector<uint8_t>> before;
        for (size_t i = planned.first; i < planned.first + planned.count; ++i) {
            const auto* record = reinterpret_cast<const uint8_t*>(list->values[i]);
            before.emplace_back(record, record + 5 + ksymfuzz::ValueBytes(*variables[i]));
        }
        const uint32_t receivedBefore = list->valuesReceived;

        // The reply is claimed as the dispatcher claims it: the wire's account stays right.
        ksym::ReadTicket ticket;
        FUZZ_CHECK(ksym::ClaimReply(*context, ticket) == ksym::ReplyOwner::Read);
        FUZZ_CHECK(ticket.list == list);
        FUZZ_CHECK(ksym::ReadVarListReply(channel, list) == 1);

        FUZZ_CHECK(list->nextTelegram == telegram + 1);
        FUZZ_CHECK(list->valuesReceived == receivedBefore + planned.count);
        FUZZ_CHECK(list->valuesReceived <= list->varCount);
        // What the step can read of the reply is at most its expected length: a reply that
        // holds fewer bytes delivers no value at all.
        const bool complete = bytes.size() >= planned.replyLength;
        size_t place = 6;
        for (size_t k = 0; k < planned.count; ++k) {
            const FuzzVariable& variable = *variables[planned.first + k];
            const uint32_t size = ksymfuzz::ValueBytes(variable);
            const VarValue* value = list->values[planned.first + k];
            const auto* record = reinterpret_cast<const uint8_t*>(value);
            const bool delivered = complete && bytes[place] != 0;
            FUZZ_CHECK(value->valid == (delivered ? 1 : 0));
            if (delivered) {
                FUZZ_CHECK(value->replyWord == StationField(bytes.data() + 2, 4, swap));
                // Host order: each element reversed on a swapping channel, when elements of
                // the variable's element size make up its value exactly.
                const uint8_t element = variable.elementSize;
                const bool convert = swap != 0 && size != 1 && element != 0 && size % element == 0;
                for (uint32_t b = 0; b < size; ++b) {
                    const uint32_t from =
                        convert ? b - b % element + (element - 1 - b % element) : b;
                    FUZZ_CHECK(record[5 + b] == bytes[place + 1 + from]);
                }
            } else {
                FUZZ_CHECK(std::memcmp(record, before[k].data(), 4) == 0);
                FUZZ_CHECK(std::memcmp(record + 5, before[k].data() + 5, size) == 0);
            }
            place += 1 + size;
        }
        const bool last = list->nextTelegram == list->telegramCount;
        FUZZ_CHECK(last == (telegram + 1 == plan.size()));
        FUZZ_CHECK(context->pendingRead.load() == (last ? nullptr : list));
        if (!last) {
            FUZZ_CHECK(ksym::ContinueRead(channel, *list, ticket.serial) ==
                       ksym::NextTelegram::Sent);
            CheckSent(telegram + 1);
        } else {
            ksym::ReplyStepDone(*context);
        }
    }
};

// A project identification reply through the exported function: the id and the record as
// the reply lays them out, nothing taken from beyond its end.
void CheckProjectIdResult(ksym::ChannelContext& context, int32_t channel,
                          const std::vector<uint8_t>& bytes) {
    const int32_t swap = context.swapBytes;
    uint32_t id = 0xA5A5A5A5u;
    const int32_t result = KSymPLCProjectIdResult(channel, &id);
    if (bytes.size() < 5) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(id == 0xA5A5A5A5u);
        return;
    }
    FUZZ_CHECK(result == 1);
    const ProjectInfo& info = context.projectInfo;
    const uint32_t expectedId = StationField(bytes.data() + (bytes.size() == 5 ? 1 : 2), 4, swap);
    FUZZ_CHECK(id == expectedId);
    FUZZ_CHECK(info.infoProjectId == expectedId);
    FUZZ_CHECK(info.infoNumber ==
               (bytes.size() >= 10 ? StationField(bytes.data() + 6, 4, swap) : 0u));
    const char* const texts[] = {info.infoText4, info.infoText5, info.infoText1, info.infoText2,
                                 info.infoText3};
    if (bytes.size() <= 6) {
        for (const char* text : texts) {
            FUZZ_CHECK(text == nullptr);
        }
        return;
    }
    // Five terminated texts from byte 10 on; one that is missing or runs to the reply's end
    // is empty, and so is every text after it.
    size_t place = 10;
    for (const char* text : texts) {
        FUZZ_CHECK(text != nullptr);
        size_t end = place;
        while (end < bytes.size() && bytes[end] != 0) {
            ++end;
        }
        const size_t length = std::strlen(text);
        if (end >= bytes.size()) {
            FUZZ_CHECK(length == 0);
            place = bytes.size();
            continue;
        }
        FUZZ_CHECK(length == end - place);
        FUZZ_CHECK(std::memcmp(text, bytes.data() + place, length) == 0);
        place = end + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ksymfuzz::VarReplyInput input;
    if (!ksymfuzz::DecodeVarReplyInput(data, size, input)) {
        return 0;
    }
    const ksymfuzz::ReplySequence sequence =
        ksymfuzz::DecodeReplySequence(data + input.sequenceStart, size - input.sequenceStart);
    fake::Reset();
    const int32_t channel = KClientOpenChannelEx(nullptr, 0, nullptr, 0, nullptr);
    FUZZ_CHECK(channel > 0);
    ksym::ChannelContext& context = SymbolContext(channel);
    context.swapBytes = sequence.swapBytes;
    context.blockSize = input.blockSize;
    FUZZ_CHECK(context.pendingRead.load() == nullptr);

    ReadCheck read;
    read.channel = channel;
    read.context = &context;
    read.swap = sequence.swapBytes;
    std::vector<const char*> names;
    std::vector<uint32_t> valueBytes;
    for (uint8_t pick : input.picks) {
        if (pick >= ksymfuzz::kUnresolvableFirst) {
            names.push_back(ksymfuzz::kUnresolvable[pick % 3]);
            read.variables.push_back(nullptr);
        } else {
            const FuzzVariable& variable = ksymfuzz::kVariables[pick % ksymfuzz::kVariableCount];
            names.push_back(variable.name);
            read.variables.push_back(&variable);
            valueBytes.push_back(ksymfuzz::ValueBytes(variable));
        }
    }

    const int32_t expectedError = ExpectedDefineError(read.variables, input.blockSize);
    HVARLIST handle = KSymDefineVarList(channel, names.data(), static_cast<uint32_t>(names.size()));
    FUZZ_CHECK(KClientGetLastError() == expectedError);
    FUZZ_CHECK((handle == nullptr) == (expectedError != 0));
    FUZZ_CHECK(fake::Telegrams().empty());
    if (handle != nullptr) {
        read.list = static_cast<ksym::VarList*>(handle);
        read.plan = ksymfuzz::PlanTelegrams(valueBytes, input.blockSize);
        FUZZ_CHECK(read.list->varCount == names.size());
        FUZZ_CHECK(read.list->telegramCount == read.plan.size());
        read.Start();
    }

    for (const ksymfuzz::ReplyRecord& record : sequence.records) {
        if (read.list != nullptr && !read.InProgress() &&
            (record.control & ksymfuzz::kVarStartRead) != 0) {
            read.Start();
        }
        fake::QueueReply(channel, COMM_MESSAGEREADY, record.announced, record.bytes);
        uint32_t announced = 0;
        FUZZ_CHECK(KClientGetReplyStatus(channel, &announced) == COMM_MESSAGEREADY);
        FUZZ_CHECK(announced == record.announced);
        if ((record.control & ksymfuzz::kVarStepProjectId) != 0) {
            CheckProjectIdResult(context, channel, record.bytes);
        } else if (read.list != nullptr && read.InProgress()) {
            read.Step(record.bytes);
        } else if (read.list != nullptr) {
            // A reply with no read outstanding changes nothing.
            const uint32_t received = read.list->valuesReceived;
            FUZZ_CHECK(ksym::ReadVarListReply(channel, read.list) == 1);
            FUZZ_CHECK(read.list->valuesReceived == received);
            FUZZ_CHECK(!read.InProgress());
        }
    }
    if (read.list != nullptr) {
        // Deleting the list ends a read that is still waiting for replies.
        const uint32_t lists = ksym::LiveVarLists();
        FUZZ_CHECK(KSymDeleteVarList(channel, handle) == 1);
        FUZZ_CHECK(context.pendingRead.load() == nullptr);
        FUZZ_CHECK(ksym::LiveVarLists() == lists - 1);
    }
    ksym::RemoveChannelContext(channel, 1);
    KClientCloseChannel(channel);
    return 0;
}
