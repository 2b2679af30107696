// The text description of a controller project from which SDB files are built: one
// declaration per line, documented in docs/sdb-description.md.
#ifndef KSYM_FORMATS_SDB_DESCRIPTION_H
#define KSYM_FORMATS_SDB_DESCRIPTION_H

#include <string>

#include "formats/plant_description.h"
#include "formats/sdb_writer.h"

namespace formats {

struct SdbDescription {
    std::string projectName; // the controller's project file name, e.g. "SAMPLE.PRO"
    SdbProject project;      // types refer to their base by index, resolved from names
    PlantDescription plant;  // initial values and behaviours, for the simulator only
};

// Parses a description; false with `error` naming the line and the fault. Every field is
// checked: unknown keywords, missing or malformed numbers, numbers out of range, unknown or
// later-declared type or variable names, duplicate names, values that do not fit their
// variable and behaviours a variable's type cannot take are errors.
bool ParseSdbDescription(const std::string& text, SdbDescription& description, std::string& error);

} // namespace formats

#endif
