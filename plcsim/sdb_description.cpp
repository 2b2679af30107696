#include "plcsim/sdb_description.h"

#include <map>
#include <set>
#include <vector>

namespace plcsim {

namespace {

using Tokens = std::vector<std::string>;
using Pairs = std::map<std::string, std::string>;

// Arrays get count × 8 bytes of item data; the bound keeps a typing slip from asking for
// gigabytes.
constexpr uint32_t kMaxArrayCount = 0x100000;

// The words of a line: separated by spaces, tabs or a carriage return, up to a '#'.
Tokens SplitLine(const std::string& line) {
    Tokens tokens;
    const std::string text = line.substr(0, line.find('#'));
    size_t at = 0;
    for (;;) {
        const size_t start = text.find_first_not_of(" \t\r", at);
        if (start == std::string::npos) {
            return tokens;
        }
        const size_t end = text.find_first_of(" \t\r", start);
        tokens.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return tokens;
        }
        at = end;
    }
}

// A decimal or 0x-hexadecimal number no larger than `max`, without sign or spaces.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && text[1] == 'x';
    const std::string digits = hex ? text.substr(2) : text;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos) {
        return false;
    }
    const uint64_t base = hex ? 16 : 10;
    uint64_t parsed = 0;
    for (char c : digits) {
        const uint64_t digit = c <= '9'   ? static_cast<uint64_t>(c - '0')
                               : c <= 'F' ? static_cast<uint64_t>(c - 'A' + 10)
                                          : static_cast<uint64_t>(c - 'a' + 10);
        parsed = parsed * base + digit;
        if (parsed > max) {
            return false;
        }
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

class Parser {
public:
    explicit Parser(SdbDescription& description) : description_(description) {}

    // One line's words (never empty); false with `message` set.
    bool Line(const Tokens& tokens, std::string& message) {
        const std::string& keyword = tokens[0];
        if (keyword == "project") {
            return Project(tokens, message);
        }
        if (keyword == "id") {
            return HeaderNumber(tokens, haveId_, 0xFFFFFFFFu, description_.project.projectId,
                                message);
        }
        if (keyword == "version") {
            return HeaderNumber(tokens, haveVersion_, 1, description_.project.version, message);
        }
        if (keyword == "type") {
            return Type(tokens, message);
        }
        if (keyword == "var") {
            return Variable(tokens, message);
        }
        message = "unknown keyword '" + keyword + "'";
        return false;
    }

    // After the last line: what must have been said at all.
    bool Finish(std::string& message) const {
        if (!haveProject_) {
            message = "the description has no 'project' line";
        } else if (!haveId_) {
            message = "the description has no 'id' line";
        }
        return message.empty();
    }

private:
    bool Project(const Tokens& tokens, std::string& message) {
        if (!Once(tokens, haveProject_, message)) {
            return false;
        }
        description_.projectName = tokens[1];
        return true;
    }

    bool HeaderNumber(const Tokens& tokens, bool& seen, uint32_t max, uint32_t& value,
                      std::string& message) {
        return Once(tokens, seen, message) && Number(tokens[0], tokens[1], max, value, message);
    }

    // A header line: the keyword and one value, at most once in the description.
    static bool Once(const Tokens& tokens, bool& seen, std::string& message) {
        if (tokens.size() != 2) {
            message = "'" + tokens[0] + "' takes exactly one value";
            return false;
        }
        if (seen) {
            message = "a second '" + tokens[0] + "' line";
            return false;
        }
        seen = true;
        return true;
    }

    static bool Number(const std::string& key, const std::string& text, uint32_t max,
                       uint32_t& value, std::string& message) {
        if (!ParseNumber(text, max, value)) {
            message = "'" + key + "' needs a number from 0 to " + std::to_string(max) + ", not '" +
                      text + "'";
            return false;
        }
        return true;
    }

    // The key-value pairs after a declaration's name, each key allowed and given once.
    static bool ParsePairs(const Tokens& tokens, const std::set<std::string>& allowed, Pairs& pairs,
                           std::string& message) {
        if (tokens.size() < 2) {
            message = "'" + tokens[0] + "' needs a name";
            return false;
        }
        for (size_t i = 2; i < tokens.size(); i += 2) {
            const std::string& key = tokens[i];
            if (allowed.count(key) == 0) {
                message = "unknown field '" + key + "'";
                return false;
            }
            if (i + 1 == tokens.size()) {
                message = "'" + key + "' needs a value";
                return false;
            }
            if (!pairs.emplace(key, tokens[i + 1]).second) {
                message = "'" + key + "' given twice";
                return false;
            }
        }
        return true;
    }

    static bool Required(const Pairs& pairs, const std::string& key, uint32_t max, uint32_t& value,
                         std::string& message) {
        const auto found = pairs.find(key);
        if (found == pairs.end()) {
            message = "'" + key + "' is missing";
            return false;
        }
        return Number(key, found->second, max, value, message);
    }

    static bool Optional(const Pairs& pairs, const std::string& key, uint32_t max, uint32_t& value,
                         std::string& message) {
        const auto found = pairs.find(key);
        return found == pairs.end() || Number(key, found->second, max, value, message);
    }

    // The index of the type that `key` names; it must be given and declared earlier.
    bool DeclaredType(const Pairs& pairs, const std::string& key, uint32_t& index,
                      std::string& message) const {
        const auto named = pairs.find(key);
        if (named == pairs.end()) {
            message = "'" + key + "' is missing";
            return false;
        }
        const auto found = typeIndex_.find(named->second);
        if (found == typeIndex_.end()) {
            message = "type '" + named->second + "' is not declared before this line";
            return false;
        }
        index = found->second;
        return true;
    }

    static bool NameFits(const std::string& name, std::string& message) {
        if (name.size() > kSdbMaxNameLength) {
            message = "name longer than " + std::to_string(kSdbMaxNameLength) + " bytes";
            return false;
        }
        return true;
    }

    bool Type(const Tokens& tokens, std::string& message) {
        Pairs pairs;
        if (!ParsePairs(tokens, {"code", "size", "base", "count", "extra"}, pairs, message)) {
            return false;
        }
        SdbType type;
        type.name = tokens[1];
        if (!NameFits(type.name, message)) {
            return false;
        }
        if (typeIndex_.count(type.name) != 0) {
            message = "type '" + type.name + "' is declared twice";
            return false;
        }
        if (!Required(pairs, "code", 0xFFFFFFFFu, type.code, message) ||
            !Required(pairs, "size", 0xFFFFFFFFu, type.size, message)) {
            return false;
        }
        const bool array = type.code == kSdbCodeArray;
        const bool extra = type.code == kSdbCodeDataBlock || type.code == kSdbCodeString ||
                           type.code == kSdbCodeExtra23;
        if (!array && (pairs.count("base") != 0 || pairs.count("count") != 0)) {
            message = "'base' and 'count' are only for arrays (code 9)";
            return false;
        }
        if (!extra && pairs.count("extra") != 0) {
            message = "'extra' is only for codes 11, 13 and 23";
            return false;
        }
        if (array) {
            if (!DeclaredType(pairs, "base", type.baseIndex, message) ||
                !Required(pairs, "count", kMaxArrayCount, type.itemCount, message)) {
                return false;
            }
        }
        if (extra && !Optional(pairs, "extra", 0xFFFFFFFFu, type.extra, message)) {
            return false;
        }
        std::vector<SdbType>& types = description_.project.types;
        typeIndex_.emplace(type.name, static_cast<uint32_t>(types.size()));
        types.push_back(std::move(type));
        return true;
    }

    bool Variable(const Tokens& tokens, std::string& message) {
        Pairs pairs;
        if (!ParsePairs(tokens, {"type", "area", "offset", "tag"}, pairs, message)) {
            return false;
        }
        SdbVariable variable;
        variable.name = tokens[1];
        if (!NameFits(variable.name, message)) {
            return false;
        }
        if (!variableNames_.insert(variable.name).second) {
            message = "variable '" + variable.name + "' is declared twice";
            return false;
        }
        if (!DeclaredType(pairs, "type", variable.typeIndex, message)) {
            return false;
        }
        uint32_t area = 0;
        uint32_t tag = 0;
        if (!Required(pairs, "area", 0xFFFF, area, message) ||
            !Required(pairs, "offset", 0xFFFFFFFFu, variable.offset, message) ||
            !Optional(pairs, "tag", 0xFFFF, tag, message)) {
            return false;
        }
        variable.area = static_cast<uint16_t>(area);
        variable.tag = static_cast<uint16_t>(tag);
        description_.project.variables.push_back(std::move(variable));
        return true;
    }

    SdbDescription& description_;
    std::map<std::string, uint32_t> typeIndex_; // type name to its index in the types
    std::set<std::string> variableNames_;       // exact names: case makes names differ
    bool haveProject_ = false;
    bool haveId_ = false;
    bool haveVersion_ = false;
};

} // namespace

bool ParseSdbDescription(const std::string& text, SdbDescription& description, std::string& error) {
    SdbDescription parsed;
    Parser parser(parsed);
    size_t lineNumber = 0;
    size_t start = 0;
    std::string message;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        ++lineNumber;
        const Tokens tokens = SplitLine(text.substr(start, end - start));
        start = end + 1;
        if (!tokens.empty() && !parser.Line(tokens, message)) {
            error = std::to_string(lineNumber) + ": " + message;
            return false;
        }
    }
    if (!parser.Finish(message)) {
        error = std::to_string(lineNumber == 0 ? 1 : lineNumber) + ": " + message;
        return false;
    }
    description = std::move(parsed);
    return true;
}

} // namespace plcsim
