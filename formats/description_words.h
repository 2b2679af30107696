// The words of the project description language and the fields its lines carry, shared by
// the parser of the SDB lines (sdb_description.cpp) and of the plant lines
// (plant_lines.cpp). Every reader names the fault in `message` when it fails.
#ifndef KSYM_FORMATS_DESCRIPTION_WORDS_H
#define KSYM_FORMATS_DESCRIPTION_WORDS_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace formats {
namespace description {

using Tokens = std::vector<std::string>;
using Pairs = std::map<std::string, std::string>;

// The words of a line: separated by spaces, tabs or a carriage return, up to a '#'. A word
// in double quotes may hold spaces and '#'; inside it \" is a quote and \\ a backslash.
// False (with `message`) for a quote that does not end.
bool SplitLine(const std::string& line, Tokens& tokens, std::string& message);

// A finite decimal number such as 21.5, -3 or 1e3.
bool ParseReal(const std::string& text, double& value);
// A decimal or 0x-hexadecimal number no larger than `max`, without sign or spaces.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t& value);

// `text` as the number of field `key`, 0 to `max`.
bool Number(const std::string& key, const std::string& text, uint32_t max, uint32_t& value,
            std::string& message);

// The key-value pairs after a declaration's name, each key allowed and given once.
bool ParsePairs(const Tokens& tokens, const std::set<std::string>& allowed, Pairs& pairs,
                std::string& message);

// The value of field `key`; null ("'key' is missing") when it is not given.
const std::string* Present(const Pairs& pairs, const std::string& key, std::string& message);
// A field that must be given / may be given, as a number 0 to `max`.
bool Required(const Pairs& pairs, const std::string& key, uint32_t max, uint32_t& value,
              std::string& message);
bool Optional(const Pairs& pairs, const std::string& key, uint32_t max, uint32_t& value,
              std::string& message);
// A field that must be given, as a finite decimal number.
bool Real(const Pairs& pairs, const std::string& key, double& value, std::string& message);

} // namespace description
} // namespace formats

#endif
