#include "tools/ksym/publish/publisher.h"

#include <vector>

#include "tools/ksym/options.h"
#include "tools/ksym/variable_write.h"

namespace ksymtool {

int WriteVariable(const Session& session, const Variable& variable, std::string text,
                  std::string& why) {
    std::vector<Assignment> assignments = {{variable, std::move(text), {}}};
    return ParseAssignments(assignments, why) ? WriteAssignments(session, assignments, why)
                                              : kExitBadArgument;
}

} // namespace ksymtool
