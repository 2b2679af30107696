// Writes the seed corpora of the fuzz targets: small valid symbol files and reply sequences
// that reach every path of the reader and the reply steps, plus hostile variants the
// fuzzer would take long to find (huge counts, cut files, lying sizes). Run once; its
// output is kept under fuzz/corpus/.
//   make_seeds CORPUS_DIR    writes CORPUS_DIR/<target>/ for every fuzz target (the
//                            station's and the texts' seeds come from seeds_*.cpp)
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/reply_sequence.h"
#include "fuzz/seeds.h"
#include "fuzz/var_reply_input.h"
#include "formats/sdb_writer.h"

namespace {

using formats::SdbType;
using formats::SdbWriter;

// A project with one type of every kind the reader tells apart, and names that differ only
// in case, so that the index keeps the first of them.
formats::SdbProject SmallProject(uint32_t version) {
    formats::SdbProject project;
    project.projectId = 0x2026120B;
    project.version = version;
    project.types = {
        {2, 2, "INT", 0, 0, {}, 0},
        {formats::kSdbCodeString, 21, "STRING20", 0, 0, {}, 0},
        {formats::kSdbCodeArray, 20, "INTARR10", 0, 10, {}, 0},
        {formats::kSdbCodeDataBlock, 64, "DB64", 0, 0, {}, 0},
        {formats::kSdbCodeArray, 128, "DBARR2", 3, 2, {}, 0},
        {formats::kSdbCodeExtra23, 6, "TIMER", 0, 0, {}, 5},
        {formats::kSdbCodePlain8, 8, "EIGHT", 0, 0, {}, 0},
    };
    project.variables = {
        {"Line1.Speed", 0, 0x0102, 3, 0},     {"Line1.Name", 1, 0, 3, 2},
        {"Line1.Counts", 2, 0, 3, 24},        {"LINE1.SPEED", 0, 0, 3, 44},
        {"Line2.Block", 3, 0, 1, 0},          {"Line2.Blocks", 4, 0, 1, 64},
        {"Line2.Station1.Timer", 5, 0, 2, 0}, {"Line2.Station1.Raw", 6, 0, 2, 8},
    };
    return project;
}

// Unknown sections on the way, a skipped type record and a skipped variable record.
std::vector<uint8_t> WithSkippedRecords() {
    SdbWriter w;
    w.BeginSection(formats::kSdbHeaderSection, 1, 0xCAFE0001);
    w.BeginSection(77, 0, 0);
    w.AddRaw({1, 2, 3});
    w.BeginSection(formats::kSdbTypesSection, 1, 3);
    w.AddType({4, 4, "DINT", 0, 0, {}, 0});
    w.AddSkippedType(6, {9, 9, 9, 9});
    w.AddType({formats::kSdbCodeArray, 16, "DINTARR4", 0, 4, {}, 0});
    w.BeginSection(88, 0, 0);
    w.BeginSection(formats::kSdbVariablesSection, 1, 4);
    w.AddVariable({"V.Dint", 0, 0x6100, 2, 0});
    w.AddVariable({"V.Skipped", 1, 0x6101, 2, 4});
    w.AddSkippedVariable(6, {1, 2, 3, 4});
    w.AddVariable({"V.Arr", 2, 0x6102, 2, 8});
    return w.Take();
}

std::vector<uint8_t> EmptyTables() {
    SdbWriter w;
    w.BeginSection(formats::kSdbHeaderSection, 1, 5);
    w.BeginSection(formats::kSdbTypesSection, 1, 0);
    w.BeginSection(formats::kSdbVariablesSection, 1, 0);
    return w.Take();
}

// A file with one type that claims `itemCount` items and `variableCount` variables.
std::vector<uint8_t> LyingCounts(uint32_t itemCount, uint32_t variableCount) {
    SdbWriter w;
    w.BeginSection(formats::kSdbHeaderSection, 1, 1);
    w.BeginSection(formats::kSdbTypesSection, 1, 1);
    const size_t array = w.Size();
    w.AddType({formats::kSdbCodeArray, 4, "A", 0, 0, {}, 0});
    w.Patch32(array + formats::kSdbTypeFixedSize + 2 + 4, itemCount);
    w.BeginSection(formats::kSdbVariablesSection, 1, variableCount);
    w.AddVariable({"X", 0, 0, 1, 0});
    return w.Take();
}

// Two arrays whose bases point at each other: the element size never resolves.
std::vector<uint8_t> ArrayLoop() {
    formats::SdbProject project;
    project.types = {{formats::kSdbCodeArray, 4, "A", 1, 1, {}, 0},
                     {formats::kSdbCodeArray, 4, "B", 0, 1, {}, 0}};
    project.variables = {{"X", 0, 0, 1, 0}};
    return formats::WriteSdb(project);
}

// An unknown section of length 0 before the types: the reader must not stall on it.
std::vector<uint8_t> ZeroLengthSection() {
    SdbWriter w;
    w.BeginSection(formats::kSdbHeaderSection, 1, 5);
    const size_t odd = w.BeginSection(99, 0, 0);
    w.SetLength(odd, 0);
    w.BeginSection(formats::kSdbTypesSection, 1, 0);
    w.BeginSection(formats::kSdbVariablesSection, 1, 0);
    return w.Take();
}

// A field of `width` bytes in the station's order.
void PutWord(std::vector<uint8_t>& out, uint32_t value, int width, int32_t swap) {
    for (int i = 0; i < width; ++i) {
        const int shift = swap != 0 ? 8 * (width - 1 - i) : 8 * i;
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

ksymfuzz::ReplyRecord ProjectIdReply(uint16_t status, uint32_t id, int32_t swap) {
    ksymfuzz::ReplyRecord record;
    record.control = ksymfuzz::kStepProjectId;
    PutWord(record.bytes, status, 2, swap);
    PutWord(record.bytes, id, 4, swap);
    PutWord(record.bytes, 7, 4, swap);
    record.bytes.resize(record.bytes.size() + 5, 0);
    record.announced = static_cast<uint16_t>(record.bytes.size());
    return record;
}

// One upload chunk: status, more, data length, data. `announced` 0 means the true length.
ksymfuzz::ReplyRecord Chunk(const std::vector<uint8_t>& data, bool more, int32_t swap,
                            uint16_t status = 0, uint8_t control = 0) {
    ksymfuzz::ReplyRecord record;
    record.control = control;
    PutWord(record.bytes, status, 2, swap);
    PutWord(record.bytes, more ? 1 : 0, 2, swap);
    PutWord(record.bytes, static_cast<uint32_t>(data.size()), 2, swap);
    record.bytes.insert(record.bytes.end(), data.begin(), data.end());
    record.announced = static_cast<uint16_t>(record.bytes.size());
    return record;
}

std::vector<uint8_t> Part(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    return std::vector<uint8_t>(bytes.begin() + static_cast<long>(from),
                                bytes.begin() + static_cast<long>(to));
}

// The small project uploaded in three chunks, the last with more = 0.
ksymfuzz::ReplySequence ThreeChunkUpload(int32_t swap) {
    const std::vector<uint8_t> file = formats::WriteSdb(SmallProject(1));
    const size_t third = file.size() / 3;
    ksymfuzz::ReplySequence sequence;
    sequence.swapBytes = swap;
    sequence.records = {Chunk(Part(file, 0, third), true, swap),
                        Chunk(Part(file, third, 2 * third), true, swap),
                        Chunk(Part(file, 2 * third, file.size()), false, swap)};
    return sequence;
}

// Block size indexes into ksymfuzz::kBlockSizes.
constexpr uint8_t kBlock40 = 2;
constexpr uint8_t kBlock64 = 3;
constexpr uint8_t kBlock100 = 5;
constexpr uint8_t kBlock512 = 6;

// The replies a complete read of the list needs, one per telegram as the fuzz target plans
// them: two bytes, the reply word, then per item a presence byte (0 for the variables in
// `absent`) and a value of recognisable bytes.
std::vector<ksymfuzz::ReplyRecord> ReadReplies(const std::vector<uint8_t>& picks, uint8_t block,
                                               int32_t swap, const std::vector<size_t>& absent = {},
                                               uint8_t firstControl = 0) {
    std::vector<uint32_t> sizes;
    for (uint8_t pick : picks) {
        sizes.push_back(
            ksymfuzz::ValueBytes(ksymfuzz::kVariables[pick % ksymfuzz::kVariableCount]));
    }
    std::vector<ksymfuzz::ReplyRecord> records;
    for (const ksymfuzz::TelegramPlan& telegram :
         ksymfuzz::PlanTelegrams(sizes, ksymfuzz::kBlockSizes[block])) {
        ksymfuzz::ReplyRecord record;
        record.control = records.empty() ? firstControl : 0;
        record.bytes = {0, 0};
        PutWord(record.bytes, 0x1000u + static_cast<uint32_t>(records.size()), 4, swap);
        for (size_t i = telegram.first; i < telegram.first + telegram.count; ++i) {
            bool present = true;
            for (size_t gone : absent) {
                present = present && gone != i;
            }
            record.bytes.push_back(present ? 1 : 0);
            for (uint32_t b = 0; b < sizes[i]; ++b) {
                record.bytes.push_back(static_cast<uint8_t>(0x10 * (i % 15) + b));
            }
        }
        record.announced = static_cast<uint16_t>(record.bytes.size());
        records.push_back(std::move(record));
    }
    return records;
}

// A project identification reply for KSymPLCProjectIdResult: status, id, number and the
// five texts, each cut to `keep` bytes in all (so that the last text loses its terminator).
ksymfuzz::ReplyRecord IdentificationReply(uint32_t id, int32_t swap, size_t keep = SIZE_MAX) {
    ksymfuzz::ReplyRecord record;
    record.control = ksymfuzz::kVarStepProjectId;
    PutWord(record.bytes, 0, 2, swap);
    PutWord(record.bytes, id, 4, swap);
    PutWord(record.bytes, 42, 4, swap);
    for (const char* text : {"CPU 9", "V2.1", "PLANT1.PRO", "Line one", "spare"}) {
        record.bytes.insert(record.bytes.end(), text, text + std::string(text).size() + 1);
    }
    if (keep < record.bytes.size()) {
        record.bytes.resize(keep);
    }
    record.announced = static_cast<uint16_t>(record.bytes.size());
    return record;
}

std::vector<uint8_t> VarReplySeed(uint8_t block, const std::vector<uint8_t>& picks, int32_t swap,
                                  const std::vector<ksymfuzz::ReplyRecord>& records) {
    std::vector<uint8_t> out = ksymfuzz::EncodeVarReplyHeader(block, picks);
    const std::vector<uint8_t> sequence = ksymfuzz::EncodeReplySequence({swap, records});
    out.insert(out.end(), sequence.begin(), sequence.end());
    return out;
}

template <typename T> void Append(std::vector<T>& to, const std::vector<T>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// The seeds of var_reply_fuzz, by file name.
std::vector<std::pair<std::string, std::vector<uint8_t>>> VarReplySeeds() {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
    // A word, a double word and a bit in one telegram, in both byte orders.
    const std::vector<uint8_t> small = {1, 2, 12};
    seeds.emplace_back("small_read.bin",
                       VarReplySeed(kBlock512, small, 0, ReadReplies(small, kBlock512, 0)));
    seeds.emplace_back("small_read_swapped.bin",
                       VarReplySeed(kBlock512, small, 1, ReadReplies(small, kBlock512, 1, {1})));

    // Every variable, in telegrams of 100 bytes, swapped, two absent, and an identification
    // reply between two of the telegrams.
    std::vector<uint8_t> every;
    for (size_t i = 0; i < ksymfuzz::kVariableCount; ++i) {
        every.push_back(static_cast<uint8_t>(i));
    }
    std::vector<ksymfuzz::ReplyRecord> records = ReadReplies(every, kBlock100, 1, {3, 11});
    records.insert(records.begin() + 1, IdentificationReply(0x2026120C, 1));
    seeds.emplace_back("every_variable_swapped.bin", VarReplySeed(kBlock100, every, 1, records));

    // Forty small variables, two to a telegram of 40 bytes, read twice.
    const uint8_t smallOnes[] = {0, 1, 2, 7, 11, 12, 13, 14, 15, 16, 17};
    std::vector<uint8_t> forty;
    for (size_t i = 0; i < ksymfuzz::kMaxVariables; ++i) {
        forty.push_back(smallOnes[i % sizeof smallOnes]);
    }
    records = ReadReplies(forty, kBlock40, 0);
    Append(records, ReadReplies(forty, kBlock40, 0, {0, 39}, ksymfuzz::kVarStartRead));
    seeds.emplace_back("forty_variables_two_reads.bin", VarReplySeed(kBlock40, forty, 0, records));

    // Replies one byte short, one byte long and empty, each to a read of its own; then a
    // reply with no read outstanding.
    const std::vector<uint8_t> three = {4, 5, 8};
    records.clear();
    ksymfuzz::ReplyRecord cut = ReadReplies(three, kBlock512, 1)[0];
    cut.bytes.pop_back();
    ksymfuzz::ReplyRecord longer = ReadReplies(three, kBlock512, 1)[0];
    longer.bytes.push_back(0xEE);
    longer.control = ksymfuzz::kVarStartRead;
    ksymfuzz::ReplyRecord empty;
    empty.control = ksymfuzz::kVarStartRead;
    empty.announced = 40;
    records = {cut, longer, empty, ReadReplies(three, kBlock512, 1)[0]};
    seeds.emplace_back("cut_long_and_empty_replies.bin",
                       VarReplySeed(kBlock512, three, 1, records));

    // Identification replies of every length class: whole, a text cut off, 10, 7, 6, 5 and
    // 3 bytes; then the read's reply.
    records.clear();
    for (size_t keep :
         {SIZE_MAX, size_t{30}, size_t{10}, size_t{7}, size_t{6}, size_t{5}, size_t{3}}) {
        records.push_back(IdentificationReply(0x11223344, 0, keep));
    }
    Append(records, ReadReplies({0}, kBlock512, 0));
    seeds.emplace_back("identification_replies.bin", VarReplySeed(kBlock512, {0}, 0, records));

    // Lists the definition refuses: the data block is too big for a 40-byte reply and for a
    // 64-byte write; a name that is no symbol's; a null name.
    const std::vector<ksymfuzz::ReplyRecord> one = {IdentificationReply(7, 0)};
    seeds.emplace_back("too_big_read.bin", VarReplySeed(kBlock40, {1, 6}, 0, one));
    seeds.emplace_back("too_big_write.bin", VarReplySeed(kBlock64, {6}, 0, one));
    seeds.emplace_back("unknown_name.bin", VarReplySeed(kBlock512, {1, 0xF1}, 0, one));
    seeds.emplace_back("null_name.bin", VarReplySeed(kBlock512, {0xF0}, 0, one));
    return seeds;
}

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    return ksymseeds::WriteSeed(path, bytes);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds CORPUS_DIR\n");
        return 2;
    }
    const std::string sdb = std::string(argv[1]) + "/sdb_reader/";
    const std::string reply = std::string(argv[1]) + "/loader_reply/";
    const std::string var = std::string(argv[1]) + "/var_reply/";

    const std::vector<uint8_t> small = formats::WriteSdb(SmallProject(1));
    bool ok = Write(sdb + "small_v1.sdb", small) &&
              Write(sdb + "small_v0.sdb", formats::WriteSdb(SmallProject(0))) &&
              Write(sdb + "skipped_records.sdb", WithSkippedRecords()) &&
              Write(sdb + "empty_tables.sdb", EmptyTables()) &&
              Write(sdb + "cut_in_a_name.sdb", Part(small, 0, small.size() - 3)) &&
              Write(sdb + "cut_in_a_header.sdb", Part(small, 0, 24)) &&
              Write(sdb + "huge_variable_count.sdb", LyingCounts(0, 0xFFFFFFFF)) &&
              Write(sdb + "huge_item_count.sdb", LyingCounts(0xFFFFFFFF, 1)) &&
              Write(sdb + "array_loop.sdb", ArrayLoop()) &&
              Write(sdb + "zero_length_section.sdb", ZeroLengthSection());

    ksymfuzz::ReplySequence idLittle{0, {ProjectIdReply(0, 0x2026120B, 0)}};
    ksymfuzz::ReplySequence idSwapped{1, {ProjectIdReply(0, 0x2026120B, 1)}};
    ksymfuzz::ReplySequence idRefused{0, {ProjectIdReply(1, 0, 0)}};
    ksymfuzz::ReplySequence refused{0, {Chunk({}, false, 0, 1)}};
    // Announces 40 data bytes and holds 3; then a reply whose announced size is larger, and
    // one whose announced size is smaller, than the bytes the client holds.
    ksymfuzz::ReplyRecord lying = Chunk({1, 2, 3}, true, 0);
    lying.bytes[4] = 40;
    ksymfuzz::ReplyRecord over = Chunk({4, 5, 6, 7}, true, 0);
    over.announced = 600;
    ksymfuzz::ReplyRecord under = Chunk({8, 9, 10, 11}, false, 0);
    under.announced = 7;
    ksymfuzz::ReplySequence sizes{0, {lying, over, under}};
    // A project-id check, a refused upload, then a fresh upload of two chunks.
    ksymfuzz::ReplySequence mixed{0,
                                  {ProjectIdReply(0, 0x11223344, 0), Chunk({}, false, 0, 1),
                                   Chunk(Part(small, 0, 40), true, 0, 0, ksymfuzz::kRearmUpload),
                                   Chunk(Part(small, 40, 80), false, 0)}};
    ok = ok && Write(reply + "project_id.bin", EncodeReplySequence(idLittle)) &&
         Write(reply + "project_id_swapped.bin", EncodeReplySequence(idSwapped)) &&
         Write(reply + "project_id_refused.bin", EncodeReplySequence(idRefused)) &&
         Write(reply + "upload_three_chunks.bin", EncodeReplySequence(ThreeChunkUpload(0))) &&
         Write(reply + "upload_three_chunks_swapped.bin",
               EncodeReplySequence(ThreeChunkUpload(1))) &&
         Write(reply + "upload_refused.bin", EncodeReplySequence(refused)) &&
         Write(reply + "lying_sizes.bin", EncodeReplySequence(sizes)) &&
         Write(reply + "id_then_two_uploads.bin", EncodeReplySequence(mixed));
    for (const auto& [name, bytes] : VarReplySeeds()) {
        ok = ok && Write(var + name, bytes);
    }
    ok = ok && ksymseeds::WriteStationSeeds(argv[1]) && ksymseeds::WriteTextSeeds(argv[1]);
    return ok ? 0 : 1;
}

namespace ksymseeds {

// Seeds stay small, so that the fuzzer mutates them quickly.
constexpr size_t kMaxSeedSize = 4096;

bool WriteSeed(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (bytes.size() > kMaxSeedSize) {
        std::fprintf(stderr, "make_seeds: %s would be %zu bytes\n", path.c_str(), bytes.size());
        return false;
    }
    std::string error;
    if (!formats::WriteFileBytes(path, bytes, error)) {
        std::fprintf(stderr, "make_seeds: %s\n", error.c_str());
        return false;
    }
    return true;
}

} // namespace ksymseeds
