// The JSON topics ksym publish writes under its root (by default "ksym/" and the station
// address): ROOT/state ("online", "station-lost", "offline"), ROOT/birth (the project
// identification and the published variables) and ROOT/value/NAME (a value as ksym --json
// read gives it, with its time), all retained.
#ifndef KSYM_TOOLS_JSON_TOPICS_H
#define KSYM_TOOLS_JSON_TOPICS_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "formats/recording.h"
#include "tools/ksym/list_read.h"

namespace ksymtool {

// A text as one level of a topic: "/", "+" and "#" (which MQTT gives meanings) and the NUL
// byte become "_".
std::string TopicLevel(const std::string& text);

// "ksym/" and the station address as one level.
std::string DefaultTopicRoot(const std::string& station);

std::string StateTopic(const std::string& root);
std::string BirthTopic(const std::string& root);
std::string ValueTopic(const std::string& root, const std::string& name);

// {"project": the identification, "variables": [{name, type, area, offset, size}]}.
std::string BirthPayload(const nlohmann::json& identification,
                         const std::vector<formats::RecordedVariable>& variables);
// {"time", "value", "valid", "type"}; value null when not valid. A value sent later from the
// buffer, while its newer values are retained, has "historical": true.
std::string ValuePayload(const std::string& time, const Variable& variable, const ReadValue& value,
                         bool historical = false);

} // namespace ksymtool

#endif
