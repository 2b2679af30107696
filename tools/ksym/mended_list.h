// Mending a list reader after its connection broke, as ksym watch and ksym record do it: the
// channel opened again, the symbols loaded again and the list defined again, retrying with a
// growing delay until it works, the user interrupts or the time runs out.
#ifndef KSYM_TOOLS_MENDED_LIST_H
#define KSYM_TOOLS_MENDED_LIST_H

#include <memory>
#include <string>
#include <vector>

#include "tools/ksym/deadline.h"
#include "tools/ksym/list_read.h"
#include "tools/ksym/session.h"

namespace ksymtool {

// The reader goes first (its list before its channel changes) and is defined again on the
// mended session. False when the user interrupted, the time ran out, or the station's
// project no longer has the variables (`exitCode` then says why).
bool MendList(Session& session, const std::vector<std::string>& names,
              std::unique_ptr<ListReader>& reader, const Deadline& deadline, int& exitCode);

} // namespace ksymtool

#endif
