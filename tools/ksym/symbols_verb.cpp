// hello and symbols: the channel itself, and the station's symbol table.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "include/ksymbol.h"
#include "tools/ksym/session.h"
#include "tools/ksym/value_table.h"
#include "tools/ksym/verb.h"

namespace ksymtool {

namespace {

std::string VersionText(uint32_t word) {
    return std::to_string(word >> 24) + "." + std::to_string((word >> 16) & 0xFF) + "." +
           std::to_string((word >> 8) & 0xFF) + "." + std::to_string(word & 0xFF);
}

} // namespace

int RunHello(const Options& options) {
    const uint32_t version = KSymVersion();
    Session session(options);
    if (!session.Open()) {
        return kExitOpenFailed;
    }
    const int32_t channel = session.channel();
    const int32_t closed = session.Close();
    if (options.json) {
        nlohmann::json out = {{"version", VersionText(version)},
                              {"versionWord", version},
                              {"station", options.station},
                              {"channel", channel},
                              {"closed", closed != 0}};
        std::printf("%s\n", DumpJson(out, 2).c_str());
    } else {
        std::printf("KSymbol %s (0x%08X)\n", VersionText(version).c_str(),
                    static_cast<unsigned>(version));
        std::printf("channel %d opened to %s\n", static_cast<int>(channel),
                    options.station.c_str());
        std::printf("channel %d %s\n", static_cast<int>(channel),
                    closed != 0 ? "closed" : "close failed");
    }
    return closed != 0 ? kExitOk : kExitBadArgument;
}

namespace {

int RunSymbols(const Options& options, const std::string& prefix) {
    Session session(options);
    if (!session.Open()) {
        return kExitOpenFailed;
    }
    if (!session.LoadSymbols(prefix.c_str())) {
        return kExitNoSymbols;
    }
    SymbolEntry* const* symbols = session.symbols();
    const int32_t count = session.symbolCount();
    if (options.json) {
        nlohmann::json list = nlohmann::json::array();
        for (int32_t i = 0; i < count; ++i) {
            list.push_back(SymbolJson(*symbols[i]));
        }
        std::printf("%s\n", DumpJson(list, 2).c_str());
        return kExitOk;
    }
    size_t nameWidth = 4;
    size_t typeWidth = 4;
    for (int32_t i = 0; i < count; ++i) {
        nameWidth = std::max(nameWidth, std::strlen(symbols[i]->name));
        typeWidth = std::max(typeWidth, std::strlen(symbols[i]->typeName));
    }
    const int nw = static_cast<int>(nameWidth);
    const int tw = static_cast<int>(typeWidth);
    std::printf("%-*s  %-*s  %5s  %10s  %10s\n", nw, "NAME", tw, "TYPE", "AREA", "OFFSET", "SIZE");
    for (int32_t i = 0; i < count; ++i) {
        const SymbolEntry& entry = *symbols[i];
        const uint16_t area = entry.area;
        const uint32_t offset = entry.offset;
        const uint32_t size = entry.size;
        std::printf("%-*s  %-*s  %5u  %10u  %10u\n", nw, entry.name, tw, entry.typeName,
                    static_cast<unsigned>(area), static_cast<unsigned>(offset),
                    static_cast<unsigned>(size));
    }
    std::printf("%d symbol%s\n", static_cast<int>(count), count == 1 ? "" : "s");
    return kExitOk;
}

class SymbolsVerb final : public Verb {
public:
    void Arguments(VerbArguments& arguments) override {
        arguments.Positional("PREFIX", prefix_, "only names that begin with this (any case)");
    }
    int Run(const Options& options) override { return RunSymbols(options, prefix_); }

private:
    std::string prefix_;
};

const VerbRegistration<SymbolsVerb> kSymbols("symbols", "list the symbols of the station's project",
                                             10);

} // namespace

} // namespace ksymtool
