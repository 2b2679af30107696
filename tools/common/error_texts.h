// The words for the library's and the client's error codes, from the one table that the
// Python package reads too (error_texts.txt, embedded at build time).
#ifndef KSYM_TOOLS_COMMON_ERROR_TEXTS_H
#define KSYM_TOOLS_COMMON_ERROR_TEXTS_H

#include <cstdint>
#include <string>

namespace ksymtool {

// The table's text for `code`, or "the request failed" for a code it does not list.
std::string ErrorText(int32_t code);

// The table file's bytes (generated).
std::string ErrorTextTable();

} // namespace ksymtool

#endif
