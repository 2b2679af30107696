#include "tools/ksym/mended_list.h"

#include "tools/ksym/reconnect.h"

namespace ksymtool {

bool MendList(Session& session, const std::vector<std::string>& names,
              std::unique_ptr<ListReader>& reader, const Deadline& deadline, int& exitCode) {
    reader.reset(); // the list goes before its channel changes
    Reconnector reconnector(session, [&](Session& reconnected) {
        int defineCode = kExitOk;
        reader = DefineReader(reconnected, names, true, defineCode);
        return reader != nullptr ? kExitOk : defineCode;
    });
    reconnector.Broke();
    for (;;) {
        if (!PauseUnlessInterrupted(deadline.Left(reconnector.delayMs())) || deadline.Over()) {
            return false;
        }
        switch (reconnector.Attempt(exitCode)) {
        case Reconnector::Result::kReconnected:
            return true;
        case Reconnector::Result::kGaveUp:
            return false; // the names no longer fit the station's project
        case Reconnector::Result::kNotYet:
            break;
        }
    }
}

} // namespace ksymtool
