// ksym: the command-line tool for a controller's variables, through KSymbol.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "extern/kclient.h"
#include "include/ksymbol.h"

namespace {

constexpr UINT kNotifyMsg = WM_USER + 1;

struct Options {
    std::string station = "sim";
    bool debug = false;
    bool json = false;
};

std::string VersionText(uint32_t word) {
    return std::to_string(word >> 24) + "." + std::to_string((word >> 16) & 0xFF) + "." +
           std::to_string((word >> 8) & 0xFF) + "." + std::to_string(word & 0xFF);
}

// Why the last open failed, in words.
std::string OpenFailure() {
    const int32_t code = KClientGetLastError();
    std::string text = KClientGetErrorText();
    switch (code) {
    case KSYM_ERR_NO_CONTEXT_SPACE:
        text = "too many channels are open";
        break;
    case KSYM_ERR_NO_THREAD:
        text = "the notification thread could not be started";
        break;
    default:
        break;
    }
    return (text.empty() ? std::string("the channel could not be opened") : text) + " (error " +
           std::to_string(code) + ")";
}

// A message window and a channel to the station for one verb; both go when it ends.
class Session {
public:
    explicit Session(const Options& options) : options_(options) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (channel_ != -1) {
            KSymCloseChannel(channel_);
        }
        if (window_ != nullptr) {
            DestroyWindow(window_);
        }
    }

    // Opens the channel; false (and a message on stderr) when that fails.
    bool Open() {
        window_ = CreateWindowExA(0, "STATIC", "ksym", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
        if (window_ == nullptr) {
            std::fprintf(stderr, "ksym: cannot create the notification window\n");
            return false;
        }
        channel_ = KSymOpenChannel(options_.station.c_str(), 0, window_, kNotifyMsg);
        if (channel_ == -1) {
            std::fprintf(stderr, "ksym: cannot open a channel to '%s': %s\n",
                         options_.station.c_str(), OpenFailure().c_str());
            return false;
        }
        return true;
    }
    // Closes the channel; what KSymCloseChannel returned.
    int32_t Close() {
        const int32_t closed = KSymCloseChannel(channel_);
        channel_ = -1;
        return closed;
    }
    int32_t channel() const { return channel_; }

private:
    const Options& options_;
    HWND window_ = nullptr;
    int32_t channel_ = -1;
};

// Opens a channel to the station, reports the library version and the channel, closes it.
int RunHello(const Options& options) {
    const uint32_t version = KSymVersion();
    Session session(options);
    if (!session.Open()) {
        return 2;
    }
    const int32_t channel = session.channel();
    const int32_t closed = session.Close();
    if (options.json) {
        nlohmann::json out = {{"version", VersionText(version)},
                              {"versionWord", version},
                              {"station", options.station},
                              {"channel", channel},
                              {"closed", closed != 0}};
        std::printf("%s\n", out.dump(2).c_str());
    } else {
        std::printf("KSymbol %s (0x%08X)\n", VersionText(version).c_str(),
                    static_cast<unsigned>(version));
        std::printf("channel %d opened to %s\n", static_cast<int>(channel),
                    options.station.c_str());
        std::printf("channel %d %s\n", static_cast<int>(channel),
                    closed != 0 ? "closed" : "close failed");
    }
    return closed != 0 ? 0 : 3;
}

// Why a symbol load failed, in words.
std::string LoadFailure() {
    const int32_t code = KClientGetLastError();
    const char* text = code == KSYM_ERR_NO_CONTEXT_SPACE
                           ? "too many channels are open"
                           : "the symbol file could not be obtained from the station or read";
    return std::string(text) + " (error " + std::to_string(code) + ")";
}

// Lists the symbols of the station's project whose names begin with `prefix`.
int RunSymbols(const Options& options, const std::string& prefix) {
    Session session(options);
    if (!session.Open()) {
        return 2;
    }
    SymbolEntry** symbols = nullptr;
    int32_t count = 0;
    if (KSymLoadSymbols(session.channel(), prefix.c_str(), &symbols, &count) == 0) {
        std::fprintf(stderr, "ksym: cannot load the symbols: %s\n", LoadFailure().c_str());
        return 4;
    }
    if (options.json) {
        nlohmann::json list = nlohmann::json::array();
        for (int32_t i = 0; i < count; ++i) {
            const SymbolEntry& entry = *symbols[i];
            // Names are bytes as the station stores them; invalid UTF-8 is replaced.
            list.push_back({{"name", entry.name},
                            {"type", entry.typeName},
                            {"area", entry.area},
                            {"offset", entry.offset},
                            {"size", entry.size}});
        }
        std::printf("%s\n",
                    list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return 0;
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
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"ksym: symbolic access to a controller's variables"};
    app.add_option("--station", options.station,
                   "station address: sim, sim:OPTIONS (default: the embedded simulator)");
    app.add_flag("--debug", options.debug, "show the library's debug lines on stderr");
    app.add_flag("--json", options.json, "print JSON for scripts");
    std::string prefix;
    CLI::App* symbols = app.add_subcommand("symbols", "list the symbols of the station's project");
    symbols->add_option("PREFIX", prefix, "only names that begin with this (any case)");
    CLI11_PARSE(app, argc, argv);
    if (options.debug) {
        KClientSetDebugTarget("stderr");
    }
    if (symbols->parsed()) {
        return RunSymbols(options, prefix);
    }
    return RunHello(options);
}
