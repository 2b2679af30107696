#include "tools/ksym/identification.h"

#include <cstdio>

#include "extern/kclient.h"

namespace ksymtool {

namespace {

std::string TextOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

} // namespace

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

int Identify(const Session& session, bool symbolsLoaded, Identification& identification,
             std::string& why) {
    const int32_t channel = session.channel();
    if (KSymPLCProjectId(channel) == 0) {
        why = "the identification request could not be sent: " + LastErrorText();
        return kExitExchangeFailed;
    }
    int exitCode = kExitOk;
    if (!session.AwaitReply(exitCode, why)) {
        return exitCode;
    }
    uint32_t projectId = 0;
    if (KSymPLCProjectIdResult(channel, &projectId) == 0) {
        why = "the controller's identification is too short";
        return kExitExchangeFailed;
    }
    const ProjectInfo* info = KSymGetProjectInfo(channel);
    identification.projectId = projectId;
    identification.number = info != nullptr ? info->infoNumber : 0;
    // The texts as the library stores them: the reply's first two (project and version)
    // in infoText4 and infoText5, the next three in infoText1 to infoText3.
    identification.texts = {
        {"project", TextOrEmpty(info != nullptr ? info->infoText4 : nullptr)},
        {"version", TextOrEmpty(info != nullptr ? info->infoText5 : nullptr)},
        {"description", TextOrEmpty(info != nullptr ? info->infoText1 : nullptr)},
        {"author", TextOrEmpty(info != nullptr ? info->infoText2 : nullptr)},
        {"date", TextOrEmpty(info != nullptr ? info->infoText3 : nullptr)},
    };
    identification.symbolsLoaded = symbolsLoaded;
    identification.symbolsProjectId = static_cast<uint32_t>(KSymGetProjectId(channel));
    return kExitOk;
}

nlohmann::json IdentificationJson(const Identification& identification) {
    nlohmann::json out = {{"projectId", Hex32(identification.projectId)},
                          {"number", identification.number}};
    for (const auto& text : identification.texts) {
        out[text.first] = text.second;
    }
    out["symbolsProjectId"] = identification.symbolsLoaded
                                  ? nlohmann::json(Hex32(identification.symbolsProjectId))
                                  : nlohmann::json();
    return out;
}

} // namespace ksymtool
