// The controller's project identification as ksym shows it: the project id the controller
// reports, its second number and five texts, beside the loaded symbol table's project id.
#ifndef KSYM_TOOLS_IDENTIFICATION_H
#define KSYM_TOOLS_IDENTIFICATION_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/ksym/session.h"

namespace ksymtool {

struct Identification {
    uint32_t projectId = 0;
    uint32_t number = 0;
    // project, version, description, author and date, in that order, by those names.
    std::vector<std::pair<const char*, std::string>> texts;
    bool symbolsLoaded = false;
    uint32_t symbolsProjectId = 0; // meaningful when symbolsLoaded
};

// Asks the controller for its identification through the session's channel, whose symbols
// are loaded when `symbolsLoaded` (the load sets the byte order the answer is decoded
// with). kExitOk, or the exit code with the reason in `why`.
int Identify(const Session& session, bool symbolsLoaded, Identification& identification,
             std::string& why);

// {projectId, number, project, version, description, author, date, symbolsProjectId}, the ids
// as 0x%08X texts, symbolsProjectId null when no symbols are loaded.
nlohmann::json IdentificationJson(const Identification& identification);

std::string Hex32(uint32_t value);

} // namespace ksymtool

#endif
