// Why a library call of ksym failed, in words with its error code, for the messages on
// stderr and in the JSON answers.
#ifndef KSYM_TOOLS_FAILURE_TEXT_H
#define KSYM_TOOLS_FAILURE_TEXT_H

#include <string>

namespace ksymtool {

// Why the last failed library call failed (the error table's words).
std::string LastErrorText();
// Why the last open of a channel failed: the client's own text where it has one.
std::string OpenFailure();
// Why the last symbol load failed.
std::string LoadFailure();

} // namespace ksymtool

#endif
