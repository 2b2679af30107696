// info, login and logout: the controller services, each one request and its answer.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "extern/kclient.h"
#include "tools/ksym/identification.h"
#include "tools/ksym/session.h"
#include "tools/ksym/value_table.h"
#include "tools/ksym/verb.h"

namespace ksymtool {

namespace {

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

int RunInfo(const Options& options) {
    Session session(options);
    if (!session.Open()) {
        return kExitOpenFailed;
    }
    // The symbol table's project id when it loads; the load also sets the byte order the
    // identification is decoded with.
    const bool loaded = session.LoadSymbols(nullptr, true);
    Identification identification;
    std::string why;
    const int exitCode = Identify(session, loaded, identification, why);
    if (exitCode != kExitOk) {
        std::fprintf(stderr, "ksym: %s\n", why.c_str());
        return exitCode;
    }
    if (options.json) {
        std::printf("%s\n", DumpJson(IdentificationJson(identification), 2).c_str());
        return kExitOk;
    }
    std::printf("%-20s%s\n", "project id", Hex32(identification.projectId).c_str());
    std::printf("%-20s%u\n", "number", static_cast<unsigned>(identification.number));
    for (const auto& text : identification.texts) {
        std::printf("%-20s%s\n", text.first, text.second.c_str());
    }
    std::printf("%-20s%s\n", "symbols project id",
                loaded ? Hex32(identification.symbolsProjectId).c_str() : "(symbols not loaded)");
    return kExitOk;
}

int RunLogin(const Options& options) {
    return LoginOrLogout(options, true);
}

int RunLogout(const Options& options) {
    return LoginOrLogout(options, false);
}

// A verb with no arguments of its own.
template <int (*kRun)(const Options&)> class PlainVerb final : public Verb {
public:
    void Arguments(VerbArguments&) override {}
    int Run(const Options& options) override { return kRun(options); }
};

const VerbRegistration<PlainVerb<RunInfo>>
    kInfo("info", "show the controller's project identification", 60);
const VerbRegistration<PlainVerb<RunLogin>> kLogin("login", "log in to the controller", 70);
const VerbRegistration<PlainVerb<RunLogout>> kLogout("logout", "log out of the controller", 80);

} // namespace

} // namespace ksymtool
