// Writing new values to variables, as ksym write and ksym serve do it: every value parsed by
// its variable's type before anything is sent, then one telegram when the station's block
// size allows, else one variable at a time. The reasons of failures are handed back as
// text, for the caller to print or answer with.
#ifndef KSYM_TOOLS_VARIABLE_WRITE_H
#define KSYM_TOOLS_VARIABLE_WRITE_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/ksym/session.h"
#include "tools/ksym/variables.h"

namespace ksymtool {

struct Assignment {
    Variable variable;
    std::string text;           // the new value as the user gave it
    std::vector<uint8_t> bytes; // the value parsed for the variable, host order
};

// Parses every assignment's text into its bytes; false, with "value does not fit NAME
// (TYPE, N bytes): TEXT" in `why`, at the first that does not fit.
bool ParseAssignments(std::vector<Assignment>& assignments, std::string& why);

// Writes the parsed assignments through the session's channel. kExitOk when the controller
// took them all; otherwise the exit code (kExitRefused for the controller's refusal,
// kExitBadArgument for a variable the library refuses, before anything is sent) with the
// reason in `why`.
int WriteAssignments(const Session& session, const std::vector<Assignment>& assignments,
                     std::string& why);

} // namespace ksymtool

#endif
