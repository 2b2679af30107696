// The layout of a var_reply_fuzz input, the variables it can name and how a list of them is
// packed into read telegrams. The fuzz target decodes inputs and checks the library's
// telegrams against the plan; make_seeds encodes its seeds and sizes their replies with the
// same definitions, so that the two cannot drift apart.
//
//   byte 0          the channel's block size: kBlockSizes[byte % 8]
//   byte 1          the number of variables less one (1 + byte % kMaxVariables)
//   then            one byte per variable: below kUnresolvableFirst it picks
//                   kVariables[byte % kVariableCount], from there on a name that resolves
//                   to nothing (kUnresolvable); fewer variables when the input ends first
//   then            a reply sequence as reply_sequence.h lays it out: the byte-order flag,
//                   then records of control, reply length, announced size and reply bytes
//
// control bit 0 makes the record a project identification reply, read through
// KSymPLCProjectIdResult; otherwise it answers the list's telegram in flight. Bit 1 starts a
// new read of the list before the record when none is in progress, so that one input can
// hold several reads.
#ifndef KSYM_FUZZ_VAR_REPLY_INPUT_H
#define KSYM_FUZZ_VAR_REPLY_INPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ksymfuzz {

inline constexpr uint8_t kVarStepProjectId = 0x01; // else the list's reply step
inline constexpr uint8_t kVarStartRead = 0x02;

inline constexpr uint32_t kNoLimit = 0xFFFFFFFFu;
// From one that fits no variable at all, through ones that refuse only the 48-byte data
// block (for its reply, then for its write item), to ones that hold the whole list.
inline constexpr uint32_t kBlockSizes[8] = {16, 24, 40, 64, 65, 100, 512, kNoLimit};
inline constexpr size_t kMaxVariables = 40;
inline constexpr uint8_t kUnresolvableFirst = 0xF0;

// A name a list can hold, with where it must lead: the address items of the telegram carry
// area, offset and size (0 for a bit); elementSize is what the byte-order conversion of its
// value works with (the symbol's, or 255 for a direct address that is no symbol's name).
struct FuzzVariable {
    const char* name;
    uint16_t area;
    uint32_t offset;
    uint32_t size;
    uint8_t elementSize;
};

// The symbols come from the table the fuzz target builds (fuzz/var_reply_fuzz.cpp); their
// addresses and element sizes here are what that table must yield.
inline constexpr FuzzVariable kVariables[] = {
    {"Line1.Start", 1, 0, 1, 1},     {"Line1.Speed", 1, 8, 2, 2},
    {"Line1.Position", 1, 12, 4, 4}, {"Line2.Temperature", 1, 40, 8, 8},
    {"Line1.Sensors", 1, 20, 20, 2}, // ten INTs
    {"Line1.Recipe", 3, 4, 21, 21},  // a 21-byte string: one element of its own size
    {"Line1.Motors", 3, 28, 48, 0},  // a data block: no conversion
    {"Line2.Spare", 3, 166, 0, 0},   // a type of size 0 travels as one byte
    {"Line1.Counts", 3, 116, 12, 4}, // three DINTs
    {"Line2.Raw", 2, 0, 6, 0},       {"line1.speed", 1, 8, 2, 2}, // found whatever the case
    {"%MD8", 0, 32, 4, 2},     // a direct address and a symbol's name: the address wins
    {"%MX1.3", 0, 19, 0, 255}, // bit 3 of word 1
    {"%IX0.15", 1, 15, 0, 255},      {"%MB100", 0, 100, 1, 255},
    {"%MW4", 0, 8, 2, 255},          {"%QD3", 2, 12, 4, 255},
    {"%IW0", 1, 0, 2, 255},
};
inline constexpr size_t kVariableCount = sizeof kVariables / sizeof kVariables[0];
// Null, a name that is no symbol's, and a direct address without its number.
inline constexpr const char* kUnresolvable[] = {nullptr, "Nope.Missing", "%MW"};

// The bytes a variable's value takes in a reply: its size, or 1 for a bit.
inline uint32_t ValueBytes(const FuzzVariable& variable) {
    return variable.size == 0 ? 1u : variable.size;
}

struct VarReplyInput {
    uint32_t blockSize = 0;
    std::vector<uint8_t> picks; // one per variable, as in the input
    size_t sequenceStart = 0;   // where the reply sequence begins
};

// False when the input is too short to name a single variable.
inline bool DecodeVarReplyInput(const uint8_t* data, size_t size, VarReplyInput& input) {
    if (size < 3) {
        return false;
    }
    input.blockSize = kBlockSizes[data[0] % 8];
    const size_t wanted = 1 + data[1] % kMaxVariables;
    const size_t count = wanted < size - 2 ? wanted : size - 2;
    input.picks.assign(data + 2, data + 2 + count);
    input.sequenceStart = 2 + count;
    return true;
}

// The header of an input: block size index, then the picks; a reply sequence follows.
inline std::vector<uint8_t> EncodeVarReplyHeader(uint8_t blockIndex,
                                                 const std::vector<uint8_t>& picks) {
    std::vector<uint8_t> out{blockIndex, static_cast<uint8_t>(picks.size() - 1)};
    out.insert(out.end(), picks.begin(), picks.end());
    return out;
}

// One read telegram of a list: the variables [first, first + count) and the length of the
// reply that answers it (the 6-byte header, then a presence byte and the value per item).
struct TelegramPlan {
    size_t first = 0;
    size_t count = 0;
    uint64_t replyLength = 0;
};

// How a list of values of these sizes is packed in list order: a variable joins the open
// telegram while the request (10 bytes per item), its reply (1 + size) and the write telegram
// of the same items (11 + size) stay within the block size; otherwise it opens the next.
// The caller has checked that every variable fits an empty telegram.
inline std::vector<TelegramPlan> PlanTelegrams(const std::vector<uint32_t>& valueBytes,
                                               uint64_t block) {
    constexpr uint64_t kHeader = 6;
    std::vector<TelegramPlan> plan(1);
    plan.back().replyLength = kHeader;
    uint64_t request = kHeader;
    uint64_t write = kHeader;
    for (size_t i = 0; i < valueBytes.size(); ++i) {
        const uint64_t size = valueBytes[i];
        if (request + 10 > block || plan.back().replyLength + size + 1 > block ||
            write + size + 11 > block) {
            plan.push_back(TelegramPlan{i, 0, kHeader});
            request = kHeader;
            write = kHeader;
        }
        TelegramPlan& open = plan.back();
        ++open.count;
        open.replyLength += size + 1;
        request += 10;
        write += size + 11;
    }
    return plan;
}

} // namespace ksymfuzz

#endif
