// info, login and logout: the controller services, each one request and its answer.
#include <cstdio>
#include <utility>

#include <nlohmann/json.hpp>

#include "extern/kclient.h"
#include "tools/ksym/session.h"
#include "tools/ksym/value_table.h"
#include "tools/ksym/verbs.h"

namespace ksymtool {

namespace {

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string TextOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// The library decodes the answers with the channel's byte order, which only a symbol load
// sets. Loads the symbols (quietly) when the station's order is not the host's.
void TakeStationByteOrder(Session& session) {
    if (KClientGetDWord(session.channel(), KCLIENT_DWORD_SWAP) != 0) {
        session.LoadSymbols(nullptr, true);
    }
}

// Sends a login or logout and takes its answer.
int LoginOrLogout(const Options& options, bool login) {
    Session session(options);
    if (!session.Open()) {
        return kExitOpenFailed;
    }
    TakeStationByteOrder(session);
    const int32_t channel = session.channel();
    if ((login ? KSymLogin(channel) : KSymLogout(channel)) == 0) {
        std::fprintf(stderr, "ksym: the %s could not be sent: %s\n", login ? "login" : "logout",
                     LastErrorText().c_str());
        return kExitExchangeFailed;
    }
    int exitCode = kExitOk;
    if (!session.AwaitReply(exitCode)) {
        return exitCode;
    }
    const bool accepted = (login ? KSymLoginResult(channel) : KSymLogoutResult(channel)) == 1;
    if (!accepted) {
        std::fprintf(stderr, "ksym: the controller refused the %s\n", login ? "login" : "logout");
        return kExitRefused;
    }
    if (options.json) {
        std::printf("%s\n", DumpJson({{login ? "loggedIn" : "loggedOut", true}}, 2).c_str());
    } else {
        std::printf("%s\n", login ? "logged in" : "logged out");
    }
    return kExitOk;
}

} // namespace

int RunInfo(const Options& options) {
    Session session(options);
    if (!session.Open()) {
        return kExitOpenFailed;
    }
    // The symbol table's project id when it loads; the load also sets the byte order the
    // identification is decoded with.
    const bool loaded = session.LoadSymbols(nullptr, true);
    const int32_t channel = session.channel();
    if (KSymPLCProjectId(channel) == 0) {
        std::fprintf(stderr, "ksym: the identification request could not be sent: %s\n",
                     LastErrorText().c_str());
        return kExitExchangeFailed;
    }
    int exitCode = kExitOk;
    if (!session.AwaitReply(exitCode)) {
        return exitCode;
    }
    uint32_t projectId = 0;
    if (KSymPLCProjectIdResult(channel, &projectId) == 0) {
        std::fprintf(stderr, "ksym: the controller's identification is too short\n");
        return kExitExchangeFailed;
    }
    const ProjectInfo* info = KSymGetProjectInfo(channel);
    const uint32_t number = info != nullptr ? info->infoNumber : 0;
    // The texts as the library stores them: the reply's first two (project and version)
    // in infoText4 and infoText5, the next three in infoText1 to infoText3.
    const std::pair<const char*, std::string> texts[] = {
        {"project", TextOrEmpty(info != nullptr ? info->infoText4 : nullptr)},
        {"version", TextOrEmpty(info != nullptr ? info->infoText5 : nullptr)},
        {"description", TextOrEmpty(info != nullptr ? info->infoText1 : nullptr)},
        {"author", TextOrEmpty(info != nullptr ? info->infoText2 : nullptr)},
        {"date", TextOrEmpty(info != nullptr ? info->infoText3 : nullptr)},
    };
    const uint32_t symbolsId = static_cast<uint32_t>(KSymGetProjectId(channel));
    if (options.json) {
        nlohmann::json out = {{"projectId", Hex32(projectId)}, {"number", number}};
        for (const auto& text : texts) {
            out[text.first] = text.second;
        }
        out["symbolsProjectId"] = loaded ? nlohmann::json(Hex32(symbolsId)) : nlohmann::json();
        std::printf("%s\n", DumpJson(out, 2).c_str());
        return kExitOk;
    }
    std::printf("%-20s%s\n", "project id", Hex32(projectId).c_str());
    std::printf("%-20s%u\n", "number", static_cast<unsigned>(number));
    for (const auto& text : texts) {
        std::printf("%-20s%s\n", text.first, text.second.c_str());
    }
    std::printf("%-20s%s\n", "symbols project id",
                loaded ? Hex32(symbolsId).c_str() : "(symbols not loaded)");
    return kExitOk;
}

int RunLogin(const Options& options) {
    return LoginOrLogout(options, true);
}

int RunLogout(const Options& options) {
    return LoginOrLogout(options, false);
}

} // namespace ksymtool
