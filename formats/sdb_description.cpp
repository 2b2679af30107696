#include "formats/sdb_description.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <vector>

namespace formats {

namespace {

using Tokens = std::vector<std::string>;
using Pairs = std::map<std::string, std::string>;

// Arrays get count × 8 bytes of item data; the bounds keep a typing slip, or a short
// description of many arrays, from asking for gigabytes (32 MiB of item data at most).
constexpr uint32_t kMaxArrayCount = 0x100000;
constexpr uint64_t kMaxArrayItems = 4 * uint64_t{kMaxArrayCount};

// The words of a line: separated by spaces, tabs or a carriage return, up to a '#'. A word
// in double quotes may hold spaces and '#'; inside it \" is a quote and \\ a backslash.
// False (with `message`) for a quote that does not end.
bool SplitLine(const std::string& line, Tokens& tokens, std::string& message) {
    tokens.clear();
    size_t at = 0;
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (at < line.size()) {
        if (blank(line[at])) {
            ++at;
            continue;
        }
        if (line[at] == '#') {
            break;
        }
        std::string word;
        if (line[at] == '"') {
            ++at;
            bool closed = false;
            while (at < line.size() && !closed) {
                const char c = line[at++];
                if (c == '"') {
                    closed = true;
                } else if (c == '\\' && at < line.size() && (line[at] == '"' || line[at] == '\\')) {
                    word.push_back(line[at++]);
                } else {
                    word.push_back(c);
                }
            }
            if (!closed) {
                message = "a quoted word does not end";
                return false;
            }
        } else {
            while (at < line.size() && !blank(line[at]) && line[at] != '#') {
                word.push_back(line[at++]);
            }
        }
        tokens.push_back(std::move(word));
    }
    return true;
}

// A finite decimal number such as 21.5, -3 or 1e3.
bool ParseReal(const std::string& text, double& value) {
    if (text.empty() || text.find_first_of(" \t") != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
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
        if (keyword == "init") {
            return Init(tokens, message);
        }
        if (keyword == "ramp" || keyword == "sine" || keyword == "counter" || keyword == "toggle" ||
            keyword == "follow") {
            return BehaviourLine(tokens, message);
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
        if (!Once(tokens, haveProject_, message) || !NameIsText(tokens[1], message)) {
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
        return NameIsText(name, message);
    }

    // Names end at a NUL wherever they are read (SDB records, the client's project name):
    // one inside a name would make the reader see another name than the one declared.
    static bool NameIsText(const std::string& name, std::string& message) {
        if (name.find('\0') != std::string::npos) {
            message = "a name holds a NUL byte";
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
        const bool extra = SdbCodeHasExtra(type.code);
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
            arrayItems_ += type.itemCount;
            if (arrayItems_ > kMaxArrayItems) {
                message =
                    "the arrays hold more than " + std::to_string(kMaxArrayItems) + " items in all";
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
        if (variableIndex_.count(variable.name) != 0) {
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
        std::vector<SdbVariable>& variables = description_.project.variables;
        variableIndex_.emplace(variable.name, static_cast<uint32_t>(variables.size()));
        variables.push_back(std::move(variable));
        return true;
    }

    // The type name the library's readers give a variable of type `index`: "DATA" for a data
    // block and for an array of arrays or data blocks, the type's own name otherwise.
    std::string ReaderTypeName(uint32_t index) const {
        const std::vector<SdbType>& types = description_.project.types;
        const SdbType& type = types[index];
        if (type.code == kSdbCodeDataBlock) {
            return "DATA";
        }
        if (type.code == kSdbCodeArray && type.baseIndex < types.size()) {
            const uint32_t base = types[type.baseIndex].code;
            if (base == kSdbCodeArray || base == kSdbCodeDataBlock) {
                return "DATA";
            }
        }
        return type.name;
    }

    // The plant's index of the declared variable `name`, taken into the plant on first use.
    bool PlantVariableNamed(const std::string& name, uint32_t& index, std::string& message) {
        const auto declared = variableIndex_.find(name);
        if (declared == variableIndex_.end()) {
            message = "variable '" + name + "' is not declared before this line";
            return false;
        }
        const auto known = plantIndex_.find(declared->second);
        if (known != plantIndex_.end()) {
            index = known->second;
            return true;
        }
        const SdbVariable& variable = description_.project.variables[declared->second];
        PlantVariable planted;
        planted.name = variable.name;
        planted.area = variable.area;
        planted.offset = variable.offset;
        planted.shape = ShapeOf(ReaderTypeName(variable.typeIndex),
                                description_.project.types[variable.typeIndex].size);
        std::vector<PlantVariable>& variables = description_.plant.variables;
        index = static_cast<uint32_t>(variables.size());
        plantIndex_.emplace(declared->second, index);
        variables.push_back(std::move(planted));
        return true;
    }

    // `init VARIABLE VALUE`: the value as its type reads it (quote one with spaces).
    bool Init(const Tokens& tokens, std::string& message) {
        if (tokens.size() != 3) {
            message = "'init' takes a variable and one value (quote a value with spaces)";
            return false;
        }
        InitialValue init;
        if (!PlantVariableNamed(tokens[1], init.variable, message)) {
            return false;
        }
        if (!initialized_.insert(init.variable).second) {
            message = "variable '" + tokens[1] + "' has an initial value already";
            return false;
        }
        const ValueShape& shape = description_.plant.variables[init.variable].shape;
        if (!ParseValue(shape, tokens[2], init.bytes)) {
            message = "'" + tokens[2] + "' is not a value of variable '" + tokens[1] + "'";
            return false;
        }
        description_.plant.inits.push_back(std::move(init));
        return true;
    }

    static bool Real(const Pairs& pairs, const std::string& key, double& value,
                     std::string& message) {
        const auto found = pairs.find(key);
        if (found == pairs.end()) {
            message = "'" + key + "' is missing";
            return false;
        }
        if (!ParseReal(found->second, value)) {
            message = "'" + key + "' needs a number, not '" + found->second + "'";
            return false;
        }
        return true;
    }

    // A period in seconds (fractions allowed), from 1 ms to about 115 days.
    static bool Period(const Pairs& pairs, const std::string& key, int64_t& ms,
                       std::string& message) {
        double seconds = 0;
        if (!Real(pairs, key, seconds, message)) {
            return false;
        }
        if (seconds < 0.001 || seconds > 1e7) {
            message =
                "'" + key + "' needs seconds from 0.001 to 10000000, not '" + pairs.at(key) + "'";
            return false;
        }
        ms = std::llround(seconds * 1000.0);
        return true;
    }

    // A variable named by `key` that holds a number.
    bool NumericVariable(const Pairs& pairs, const std::string& key, uint32_t& index,
                         std::string& message) {
        const auto found = pairs.find(key);
        if (found == pairs.end()) {
            message = "'" + key + "' is missing";
            return false;
        }
        return NumericVariableNamed(found->second, index, message);
    }

    // The plant's index of the declared variable `name`, which must hold a number.
    bool NumericVariableNamed(const std::string& name, uint32_t& index, std::string& message) {
        if (!PlantVariableNamed(name, index, message)) {
            return false;
        }
        if (!IsNumeric(description_.plant.variables[index].shape)) {
            message = "variable '" + name + "' does not hold a number";
            return false;
        }
        return true;
    }

    // ramp, sine, counter, toggle and follow lines: the variable, then their fields.
    bool BehaviourLine(const Tokens& tokens, std::string& message) {
        using Kind = Behaviour::Kind;
        static const std::map<std::string, std::pair<Kind, std::set<std::string>>> kinds = {
            {"ramp", {Kind::Ramp, {"from", "to", "period"}}},
            {"sine", {Kind::Sine, {"mean", "amplitude", "period"}}},
            {"counter", {Kind::Counter, {"step", "every"}}},
            {"toggle", {Kind::Toggle, {"every"}}},
            {"follow", {Kind::Follow, {"source", "rate", "while"}}},
        };
        const auto& kind = kinds.at(tokens[0]);
        Pairs pairs;
        if (!ParsePairs(tokens, kind.second, pairs, message)) {
            return false;
        }
        Behaviour behaviour;
        behaviour.kind = kind.first;
        if (!NumericVariableNamed(tokens[1], behaviour.target, message)) {
            return false;
        }
        if (!driven_.insert(behaviour.target).second) {
            message = "variable '" + tokens[1] + "' has a behaviour already";
            return false;
        }
        const ValueShape& shape = description_.plant.variables[behaviour.target].shape;
        const bool isBool = shape.kind == ValueKind::kBool;
        const bool isInteger =
            shape.kind == ValueKind::kSigned || shape.kind == ValueKind::kUnsigned;
        bool ok = true;
        switch (behaviour.kind) {
        case Kind::Ramp:
            ok = Real(pairs, "from", behaviour.from, message) &&
                 Real(pairs, "to", behaviour.to, message) &&
                 Period(pairs, "period", behaviour.periodMs, message);
            break;
        case Kind::Sine:
            ok = Real(pairs, "mean", behaviour.mean, message) &&
                 Real(pairs, "amplitude", behaviour.amplitude, message) &&
                 Period(pairs, "period", behaviour.periodMs, message);
            break;
        case Kind::Counter:
            ok = Real(pairs, "step", behaviour.step, message) &&
                 Period(pairs, "every", behaviour.periodMs, message);
            if (ok && isInteger && std::nearbyint(behaviour.step) != behaviour.step) {
                message = "an integer counts in whole steps";
                ok = false;
            }
            break;
        case Kind::Toggle:
            ok = Period(pairs, "every", behaviour.periodMs, message);
            if (ok && !isBool && !isInteger) {
                message = "only a bool or an integer toggles";
                ok = false;
            }
            break;
        case Kind::Follow:
            ok = NumericVariable(pairs, "source", behaviour.source, message);
            behaviour.limited = pairs.count("rate") != 0;
            if (ok && behaviour.limited) {
                ok = Real(pairs, "rate", behaviour.rate, message);
                if (ok && behaviour.rate <= 0) {
                    message = "'rate' must be above 0";
                    ok = false;
                }
            }
            behaviour.conditional = pairs.count("while") != 0;
            if (ok && behaviour.conditional) {
                ok = NumericVariable(pairs, "while", behaviour.condition, message);
            }
            if (ok && behaviour.source == behaviour.target) {
                message = "a variable cannot follow itself";
                ok = false;
            }
            break;
        }
        if (ok && isBool && behaviour.kind != Kind::Toggle && behaviour.kind != Kind::Follow) {
            message = "a bool only toggles or follows";
            ok = false;
        }
        if (!ok) {
            return false;
        }
        description_.plant.behaviours.push_back(behaviour);
        return true;
    }

    SdbDescription& description_;
    std::map<std::string, uint32_t> typeIndex_;     // type name to its index in the types
    std::map<std::string, uint32_t> variableIndex_; // exact names: case makes names differ
    std::map<uint32_t, uint32_t> plantIndex_;       // a variable's index in the plant's
    std::set<uint32_t> initialized_;                // plant variables with an init line
    std::set<uint32_t> driven_;                     // plant variables with a behaviour
    uint64_t arrayItems_ = 0;                       // of every array declared so far
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
        Tokens tokens;
        const bool split = SplitLine(text.substr(start, end - start), tokens, message);
        start = end + 1;
        if (!split || (!tokens.empty() && !parser.Line(tokens, message))) {
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

} // namespace formats
