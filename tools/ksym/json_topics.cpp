#include "tools/ksym/json_topics.h"

#include "tools/ksym/value_format.h"

namespace ksymtool {

std::string TopicLevel(const std::string& text) {
    std::string level = text;
    for (char& c : level) {
        if (c == '/' || c == '+' || c == '#' || c == '\0') {
            c = '_';
        }
    }
    return level;
}

std::string DefaultTopicRoot(const std::string& station) {
    return "ksym/" + TopicLevel(station);
}

std::string StateTopic(const std::string& root) {
    return root + "/state";
}

std::string BirthTopic(const std::string& root) {
    return root + "/birth";
}

std::string ValueTopic(const std::string& root, const std::string& name) {
    return root + "/value/" + TopicLevel(name);
}

std::string BirthPayload(const nlohmann::json& identification,
                         const std::vector<formats::RecordedVariable>& variables) {
    nlohmann::json list = nlohmann::json::array();
    for (const formats::RecordedVariable& variable : variables) {
        list.push_back({{"name", variable.name},
                        {"type", variable.type},
                        {"area", variable.area},
                        {"offset", variable.offset},
                        {"size", variable.size}});
    }
    return nlohmann::json{{"project", identification}, {"variables", list}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ValuePayload(const std::string& time, const Variable& variable, const ReadValue& value,
                         bool historical) {
    const bool valid = value.valid && value.bytes.size() >= variable.shape.size;
    nlohmann::json payload = {
        {"time", time},
        {"value", valid ? ValueJson(variable.shape, value.bytes.data()) : nlohmann::json()},
        {"valid", valid},
        {"type", variable.typeName}};
    if (historical) {
        payload["historical"] = true;
    }
    return payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace ksymtool
