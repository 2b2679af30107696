#include "formats/sdb_description.h"

#include <map>
#include <string>
#include <vector>

#include "formats/description_words.h"
#include "formats/plant_lines.h"
#include "formats/sdb_layout.h"

namespace formats {

namespace {

using description::Optional;
using description::Pairs;
using description::ParsePairs;
using description::Required;
using description::Tokens;

// Arrays get count × 8 bytes of item data; the bounds keep a typing slip, or a short
// description of many arrays, from asking for gigabytes (32 MiB of item data at most).
constexpr uint32_t kMaxArrayCount = 0x100000;
constexpr uint64_t kMaxArrayItems = 4 * uint64_t{kMaxArrayCount};

// The SDB lines (project, id, version, type, var); the plant lines go to PlantLines.
class Parser {
public:
    explicit Parser(SdbDescription& description)
        : description_(description),
          plant_(description.project, variableIndex_, description.plant) {}

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
            return plant_.Init(tokens, message);
        }
        if (PlantLines::IsBehaviourKeyword(keyword)) {
            return plant_.BehaviourLine(tokens, message);
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
        return Once(tokens, seen, message) &&
               description::Number(tokens[0], tokens[1], max, value, message);
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

    // The index of the type that `key` names; it must be given and declared earlier.
    bool DeclaredType(const Pairs& pairs, const std::string& key, uint32_t& index,
                      std::string& message) const {
        const std::string* named = description::Present(pairs, key, message);
        if (named == nullptr) {
            return false;
        }
        const auto found = typeIndex_.find(*named);
        if (found == typeIndex_.end()) {
            message = "type '" + *named + "' is not declared before this line";
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

    SdbDescription& description_;
    std::map<std::string, uint32_t> typeIndex_;     // type name to its index in the types
    std::map<std::string, uint32_t> variableIndex_; // exact names: case makes names differ
    PlantLines plant_;                              // the init and behaviour lines
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
        const bool split = description::SplitLine(text.substr(start, end - start), tokens, message);
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
