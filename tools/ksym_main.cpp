// ksym: the command-line tool for a controller's variables, through KSymbol.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
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

// Opens a channel to the station, reports the library version and the channel, closes it.
int RunHello(const Options& options) {
    HWND window = CreateWindowExA(0, "STATIC", "ksym", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    if (window == nullptr) {
        std::fprintf(stderr, "ksym: cannot create the notification window\n");
        return 1;
    }
    const uint32_t version = KSymVersion();
    const int32_t channel = KSymOpenChannel(options.station.c_str(), 0, window, kNotifyMsg);
    if (channel == -1) {
        std::fprintf(stderr, "ksym: cannot open a channel to '%s': %s\n", options.station.c_str(),
                     OpenFailure().c_str());
        DestroyWindow(window);
        return 2;
    }
    const int32_t closed = KSymCloseChannel(channel);
    DestroyWindow(window);
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

} // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"ksym: symbolic access to a controller's variables"};
    app.add_option("--station", options.station,
                   "station address: sim, sim:OPTIONS (default: the embedded simulator)");
    app.add_flag("--debug", options.debug, "show the library's debug lines on stderr");
    app.add_flag("--json", options.json, "print JSON for scripts");
    CLI11_PARSE(app, argc, argv);
    if (options.debug) {
        KClientSetDebugTarget("stderr");
    }
    return RunHello(options);
}
