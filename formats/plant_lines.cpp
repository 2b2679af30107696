#include "formats/plant_lines.h"

#include <cmath>
#include <utility>

#include "formats/sdb_layout.h"

namespace formats {

using description::Pairs;
using description::Real;
using description::Tokens;

namespace {

using Kind = Behaviour::Kind;

// Each behaviour's keyword, its kind and the fields it takes.
const std::map<std::string, std::pair<Kind, std::set<std::string>>>& BehaviourKinds() {
    static const std::map<std::string, std::pair<Kind, std::set<std::string>>> kinds = {
        {"ramp", {Kind::Ramp, {"from", "to", "period"}}},
        {"sine", {Kind::Sine, {"mean", "amplitude", "period"}}},
        {"counter", {Kind::Counter, {"step", "every"}}},
        {"toggle", {Kind::Toggle, {"every"}}},
        {"follow", {Kind::Follow, {"source", "rate", "while"}}},
    };
    return kinds;
}

// A period in seconds (fractions allowed), from 1 ms to about 115 days.
bool Period(const Pairs& pairs, const std::string& key, int64_t& ms, std::string& message) {
    double seconds = 0;
    if (!Real(pairs, key, seconds, message)) {
        return false;
    }
    if (seconds < 0.001 || seconds > 1e7) {
        message = "'" + key + "' needs seconds from 0.001 to 10000000, not '" + pairs.at(key) + "'";
        return false;
    }
    ms = std::llround(seconds * 1000.0);
    return true;
}

bool Fails(std::string& message, const char* why) {
    message = why;
    return false;
}

// Takes the plant variable `index` (named `name`) into `claimed`; false when it was there
// already: a variable has one `what` at most.
bool ClaimOnce(std::set<uint32_t>& claimed, uint32_t index, const std::string& name,
               const char* what, std::string& message) {
    if (claimed.insert(index).second) {
        return true;
    }
    message = "variable '" + name + "' has " + what + " already";
    return false;
}

} // namespace

bool PlantLines::IsBehaviourKeyword(const std::string& keyword) {
    return BehaviourKinds().count(keyword) != 0;
}

// "DATA" for a data block and for an array of arrays or data blocks, the type's own name
// otherwise.
std::string PlantLines::ReaderTypeName(uint32_t index) const {
    const SdbType& type = project_.types[index];
    if (type.code == kSdbCodeDataBlock) {
        return "DATA";
    }
    if (type.code == kSdbCodeArray && type.baseIndex < project_.types.size()) {
        const uint32_t base = project_.types[type.baseIndex].code;
        if (base == kSdbCodeArray || base == kSdbCodeDataBlock) {
            return "DATA";
        }
    }
    return type.name;
}

bool PlantLines::VariableNamed(const std::string& name, uint32_t& index, std::string& message) {
    const auto declared = declared_.find(name);
    if (declared == declared_.end()) {
        message = "variable '" + name + "' is not declared before this line";
        return false;
    }
    const auto known = plantIndex_.find(declared->second);
    if (known != plantIndex_.end()) {
        index = known->second;
        return true;
    }
    const SdbVariable& variable = project_.variables[declared->second];
    PlantVariable planted;
    planted.name = variable.name;
    planted.area = variable.area;
    planted.offset = variable.offset;
    planted.shape =
        ShapeOf(ReaderTypeName(variable.typeIndex), project_.types[variable.typeIndex].size);
    index = static_cast<uint32_t>(plant_.variables.size());
    plantIndex_.emplace(declared->second, index);
    plant_.variables.push_back(std::move(planted));
    return true;
}

bool PlantLines::NumericVariableNamed(const std::string& name, uint32_t& index,
                                      std::string& message) {
    if (!VariableNamed(name, index, message)) {
        return false;
    }
    if (!IsNumeric(plant_.variables[index].shape)) {
        message = "variable '" + name + "' does not hold a number";
        return false;
    }
    return true;
}

bool PlantLines::NumericVariable(const Pairs& pairs, const std::string& key, uint32_t& index,
                                 std::string& message) {
    const std::string* name = description::Present(pairs, key, message);
    return name != nullptr && NumericVariableNamed(*name, index, message);
}

bool PlantLines::Init(const Tokens& tokens, std::string& message) {
    if (tokens.size() != 3) {
        return Fails(message, "'init' takes a variable and one value (quote a value with spaces)");
    }
    InitialValue init;
    if (!VariableNamed(tokens[1], init.variable, message) ||
        !ClaimOnce(initialized_, init.variable, tokens[1], "an initial value", message)) {
        return false;
    }
    const ValueShape& shape = plant_.variables[init.variable].shape;
    if (!ParseValue(shape, tokens[2], init.bytes)) {
        message = "'" + tokens[2] + "' is not a value of variable '" + tokens[1] + "'";
        return false;
    }
    plant_.inits.push_back(std::move(init));
    return true;
}

bool PlantLines::FollowFields(const Pairs& pairs, formats::Behaviour& behaviour,
                              std::string& message) {
    if (!NumericVariable(pairs, "source", behaviour.source, message)) {
        return false;
    }
    behaviour.limited = pairs.count("rate") != 0;
    if (behaviour.limited) {
        if (!Real(pairs, "rate", behaviour.rate, message)) {
            return false;
        }
        if (behaviour.rate <= 0) {
            return Fails(message, "'rate' must be above 0");
        }
    }
    behaviour.conditional = pairs.count("while") != 0;
    if (behaviour.conditional && !NumericVariable(pairs, "while", behaviour.condition, message)) {
        return false;
    }
    if (behaviour.source == behaviour.target) {
        return Fails(message, "a variable cannot follow itself");
    }
    return true;
}

bool PlantLines::KindFields(const Pairs& pairs, const ValueShape& shape,
                            formats::Behaviour& behaviour, std::string& message) {
    const bool isInteger = shape.kind == ValueKind::kSigned || shape.kind == ValueKind::kUnsigned;
    switch (behaviour.kind) {
    case Kind::Ramp:
        return Real(pairs, "from", behaviour.from, message) &&
               Real(pairs, "to", behaviour.to, message) &&
               Period(pairs, "period", behaviour.periodMs, message);
    case Kind::Sine:
        return Real(pairs, "mean", behaviour.mean, message) &&
               Real(pairs, "amplitude", behaviour.amplitude, message) &&
               Period(pairs, "period", behaviour.periodMs, message);
    case Kind::Counter:
        if (!Real(pairs, "step", behaviour.step, message) ||
            !Period(pairs, "every", behaviour.periodMs, message)) {
            return false;
        }
        if (isInteger && std::nearbyint(behaviour.step) != behaviour.step) {
            return Fails(message, "an integer counts in whole steps");
        }
        return true;
    case Kind::Toggle:
        if (!Period(pairs, "every", behaviour.periodMs, message)) {
            return false;
        }
        if (shape.kind != ValueKind::kBool && !isInteger) {
            return Fails(message, "only a bool or an integer toggles");
        }
        return true;
    case Kind::Follow:
        return FollowFields(pairs, behaviour, message);
    }
    return false;
}

bool PlantLines::BehaviourLine(const Tokens& tokens, std::string& message) {
    const auto& kind = BehaviourKinds().at(tokens[0]);
    Pairs pairs;
    if (!description::ParsePairs(tokens, kind.second, pairs, message)) {
        return false;
    }
    formats::Behaviour behaviour;
    behaviour.kind = kind.first;
    if (!NumericVariableNamed(tokens[1], behaviour.target, message) ||
        !ClaimOnce(driven_, behaviour.target, tokens[1], "a behaviour", message)) {
        return false;
    }
    const ValueShape& shape = plant_.variables[behaviour.target].shape;
    if (!KindFields(pairs, shape, behaviour, message)) {
        return false;
    }
    if (shape.kind == ValueKind::kBool && behaviour.kind != Kind::Toggle &&
        behaviour.kind != Kind::Follow) {
        return Fails(message, "a bool only toggles or follows");
    }
    plant_.behaviours.push_back(behaviour);
    return true;
}

} // namespace formats
