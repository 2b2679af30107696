// The plant lines of the project description language (init, ramp, sine, counter, toggle,
// follow): what the simulator plays on top of the symbol file. They name variables that SDB
// lines above them declared.
#ifndef KSYM_FORMATS_PLANT_LINES_H
#define KSYM_FORMATS_PLANT_LINES_H

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "formats/description_words.h"
#include "formats/plant_description.h"
#include "formats/sdb_writer.h"

namespace formats {

class PlantLines {
public:
    // `project` and `declared` (variable name to its index in the project) are the SDB
    // lines' so far; the lines read here go into `plant`.
    PlantLines(const SdbProject& project, const std::map<std::string, uint32_t>& declared,
               PlantDescription& plant)
        : project_(project), declared_(declared), plant_(plant) {}

    static bool IsBehaviourKeyword(const std::string& keyword);

    // `init VARIABLE VALUE`: the value as its type reads it (quote one with spaces).
    bool Init(const description::Tokens& tokens, std::string& message);
    // ramp, sine, counter, toggle and follow lines: the variable, then their fields.
    bool BehaviourLine(const description::Tokens& tokens, std::string& message);

private:
    // The type name the library's readers give a variable of type `index`.
    std::string ReaderTypeName(uint32_t index) const;
    // The plant's index of the declared variable `name`, taken into the plant on first use.
    bool VariableNamed(const std::string& name, uint32_t& index, std::string& message);
    // The same, for a variable that must hold a number; and one named by field `key`.
    bool NumericVariableNamed(const std::string& name, uint32_t& index, std::string& message);
    bool NumericVariable(const description::Pairs& pairs, const std::string& key, uint32_t& index,
                         std::string& message);
    // The fields of one kind of behaviour, checked against the shape of its target.
    bool KindFields(const description::Pairs& pairs, const ValueShape& shape,
                    formats::Behaviour& behaviour, std::string& message);
    bool FollowFields(const description::Pairs& pairs, formats::Behaviour& behaviour,
                      std::string& message);

    const SdbProject& project_;
    const std::map<std::string, uint32_t>& declared_;
    PlantDescription& plant_;
    std::map<uint32_t, uint32_t> plantIndex_; // a project variable's index in the plant's
    std::set<uint32_t> initialized_;          // plant variables with an init line
    std::set<uint32_t> driven_;               // plant variables with a behaviour
};

} // namespace formats

#endif
