// record: the values of variables every interval into a recording (docs/recording-format.md)
// that plcsim --replay serves again, through breaks of the connection, until Ctrl-C, a
// count or a duration.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "extern/kclient.h"
#include "formats/byte_order.h"
#include "tools/ksym/deadline.h"
#include "tools/ksym/read_pacing.h"
#include "tools/ksym/identification.h"
#include "tools/ksym/list_read.h"
#include "tools/ksym/mended_list.h"
#include "tools/ksym/recorder.h"
#include "tools/ksym/session.h"
#include "tools/ksym/symbol_file.h"
#include "tools/ksym/verb.h"
#include "tools/ksym/watch_output.h"

namespace ksymtool {

namespace {

struct RecordOptions {
    bool all = false;
    std::string prefix;
    std::string out;
    ReadPacing pacing;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using OutputFile = std::unique_ptr<std::FILE, FileCloser>;

// The header of a recording of the reader's variables on the session's station, and the unit
// of each variable's conversion back to the controller's order. kExitOk or the exit code,
// with the reason on stderr.
int BuildHeader(const Session& session, const ListReader& reader, formats::RecordingHeader& header,
                std::vector<uint8_t>& elementSizes) {
    std::string why;
    Identification identification;
    int exitCode = Identify(session, true, identification, why);
    std::vector<formats::SdbSymbol> symbols;
    if (exitCode == kExitOk && !ReadLoadedSymbolFile(session, header.sdb, symbols, why)) {
        exitCode = kExitNoSymbols;
    }
    if (exitCode != kExitOk) {
        std::fprintf(stderr, "ksym: %s\n", why.c_str());
        return exitCode;
    }
    const int32_t channel = session.channel();
    header.started = IsoTimeNow();
    header.station = session.options().station;
    header.projectName = ProjectName(session);
    header.projectId = identification.projectId;
    header.projectNumber = identification.number;
    for (size_t i = 0; i < header.texts.size() && i < identification.texts.size(); ++i) {
        header.texts[i] = identification.texts[i].second;
    }
    const bool swapped = KClientGetDWord(channel, KCLIENT_DWORD_SWAP) != 0;
    header.bigEndian = swapped != (formats::HostOrder() == formats::ByteOrder::Big);
    header.blockSize = KClientGetDWord(channel, KCLIENT_DWORD_BLOCK_SIZE);
    for (const Variable& variable : reader.variables()) {
        formats::RecordedVariable recorded;
        uint8_t elementSize = 0;
        if (!RecordedVariableOf(variable.name, variable.typeName, symbols, recorded, elementSize)) {
            std::fprintf(stderr, "ksym: unknown variable: %s\n", variable.name.c_str());
            return kExitBadArgument;
        }
        header.variables.push_back(std::move(recorded));
        elementSizes.push_back(swapped ? elementSize : 0);
    }
    return kExitOk;
}

// The last read's values in the controller's order.
std::vector<RecordedBytes> ControllerValues(const ListReader& reader,
                                            const std::vector<uint8_t>& elementSizes) {
    std::vector<RecordedBytes> values;
    for (size_t i = 0; i < reader.values().size(); ++i) {
        const ReadValue& read = reader.values()[i];
        if (!read.valid) {
            values.emplace_back();
            continue;
        }
        std::vector<uint8_t> bytes = read.bytes;
        ReverseElements(bytes, elementSizes[i]);
        values.emplace_back(std::move(bytes));
    }
    return values;
}

// Why a read failed, for the gap record.
const char* GapReason(int exitCode) {
    return exitCode == kExitNoAnswer ? kNoAnswer : "the exchange with the station failed";
}

int RunRecord(const Options& options, std::vector<std::string> names, const RecordOptions& record) {
    InstallInterruptHandler();
    if (record.all == !names.empty()) {
        std::fprintf(stderr, "ksym: record takes names or --all, one of the two\n");
        return kExitBadArgument;
    }
    if (!record.prefix.empty() && !record.all) {
        std::fprintf(stderr, "ksym: --prefix goes with --all\n");
        return kExitBadArgument;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (names[j] == names[i]) {
                std::fprintf(stderr, "ksym: '%s' is named twice\n", names[i].c_str());
                return kExitBadArgument;
            }
        }
    }
    Session session(options);
    int exitCode = kExitOk;
    if (!session.Open()) {
        return kExitOpenFailed;
    }
    if (record.all) {
        if (!session.LoadSymbols(record.prefix.empty() ? nullptr : record.prefix.c_str())) {
            return kExitNoSymbols;
        }
        names = ReachableNames(session);
        if (names.empty()) {
            std::fprintf(stderr, "ksym: no symbol begins with '%s'\n", record.prefix.c_str());
            return kExitBadArgument;
        }
    }
    std::unique_ptr<ListReader> reader = DefineReader(session, names, false, exitCode);
    if (!reader) {
        return exitCode;
    }
    formats::RecordingHeader header;
    std::vector<uint8_t> elementSizes;
    exitCode = BuildHeader(session, *reader, header, elementSizes);
    if (exitCode != kExitOk) {
        return exitCode;
    }
    const OutputFile file(std::fopen(record.out.c_str(), "wb"));
    if (!file) {
        std::fprintf(stderr, "ksym: cannot write %s: %s\n", record.out.c_str(),
                     std::strerror(errno));
        return kExitBadArgument;
    }
    Recorder recorder(std::move(header), [&](const std::string& line) {
        return std::fwrite(line.data(), 1, line.size(), file.get()) == line.size() &&
               std::fflush(file.get()) == 0;
    });
    const uint32_t projectId = recorder.header().projectId;
    if (!recorder.Begin()) {
        std::fprintf(stderr, "ksym: cannot write %s\n", record.out.c_str());
        return kExitBadArgument;
    }
    const Deadline deadline(record.pacing.durationSeconds);
    // The time of a record counts from the first read, which the replay begins with.
    DWORD start = 0;
    bool started = false;
    const auto now = [&] {
        if (!started) {
            start = GetTickCount();
            started = true;
        }
        return static_cast<uint64_t>(static_cast<DWORD>(GetTickCount() - start));
    };
    bool written = true;
    bool allValid = true;
    uint64_t reads = 0;
    while (written && record.pacing.More(reads, deadline)) {
        const DWORD readStart = GetTickCount();
        const uint64_t t = now();
        const std::string time = IsoTimeNow();
        const ReadEnd end = reader->Read(exitCode);
        if (end == ReadEnd::kInterrupted) {
            break;
        }
        if (end == ReadEnd::kFailed) {
            written = recorder.Gap(now(), IsoTimeNow(), GapReason(exitCode));
            if (!written || !MendList(session, names, reader, deadline, exitCode)) {
                break;
            }
            if (static_cast<uint32_t>(KSymGetProjectId(session.channel())) != projectId) {
                // The station came back with another project: its values are not this
                // recording's.
                std::fprintf(stderr, "ksym: the station now holds another project; the "
                                     "recording ends\n");
                exitCode = kExitNoSymbols;
                break;
            }
            exitCode = kExitOk;
            continue;
        }
        ++reads;
        allValid = allValid && reader->AllValid();
        written = recorder.Read(t, time, ControllerValues(*reader, elementSizes));
        if (reads == record.pacing.count) {
            break;
        }
        if (!record.pacing.AwaitNext(readStart, deadline)) {
            break;
        }
    }
    written = written && recorder.End(now(), IsoTimeNow());
    if (!written) {
        std::fprintf(stderr, "ksym: cannot write %s\n", record.out.c_str());
        return kExitBadArgument;
    }
    std::printf("ksym record: %llu records, %zu variables, %llu changes, %llu bytes, %llu gaps "
                "-> %s\n",
                static_cast<unsigned long long>(recorder.records()),
                recorder.header().variables.size(),
                static_cast<unsigned long long>(recorder.changes()),
                static_cast<unsigned long long>(recorder.bytes()),
                static_cast<unsigned long long>(recorder.gaps()), record.out.c_str());
    if (exitCode != kExitOk) {
        return exitCode;
    }
    return allValid ? kExitOk : kExitNoValue;
}

class RecordVerb final : public Verb {
public:
    void Arguments(VerbArguments& arguments) override {
        arguments.OptionalPositionals("NAME", names_,
                                      "symbol names or direct addresses (or --all)");
        arguments.Flag("--all", record_.all,
                       "every symbol of the table (with --prefix: those "
                       "whose names begin with it)");
        arguments.Text("--prefix", record_.prefix, "with --all: the beginning of the names");
        arguments.Text("--out", record_.out, "the recording to write (required)");
        record_.pacing.Bind(arguments);
    }
    int Run(const Options& options) override {
        if (record_.out.empty()) {
            std::fprintf(stderr, "ksym: record needs --out FILE\n");
            return kExitBadArgument;
        }
        return RunRecord(options, names_, record_);
    }

private:
    std::vector<std::string> names_;
    RecordOptions record_;
};

const VerbRegistration<RecordVerb> kRecord(
    "record",
    "record variables every interval into a file that plcsim --replay plays again; a broken "
    "connection is mended and recorded as a gap",
    45);

} // namespace

} // namespace ksymtool
