// What ksym publish says of its station and variables, in one of its formats (JSON topics or
// Sparkplug B): births after every connection of either side, the station's loss, the values
// the change filter lets through (kept in the buffer while the broker is out of reach), and
// the commands the broker brings. A publisher sets its link's will and subscriptions when it
// is made, before the link connects.
//
// Threads: the verb's thread calls every member. The link's thread only puts commands into
// the publisher's inbox, which the verb's thread empties between reads, where the channel is
// its own, and renews the will; so the link must be destroyed (its thread stopped) before
// the publisher.
#ifndef KSYM_TOOLS_PUBLISH_PUBLISHER_H
#define KSYM_TOOLS_PUBLISH_PUBLISHER_H

#include <cstdint>
#include <string>

#include "tools/ksym/list_read.h"
#include "tools/ksym/session.h"

namespace ksymtool {

struct PublisherSettings {
    double deadband = 0;      // absolute, for numbers; 0: any change
    uint64_t heartbeatMs = 0; // every value again this often; 0: never
    bool allowWrites = false;
};

class Publisher {
public:
    virtual ~Publisher() = default;
    // The station answers (again), with the variables of `reader`: its births, and every
    // value with the next read.
    virtual void Born(const Session& session, const ListReader& reader) = 0;
    // The station stopped answering; Born follows once it is mended.
    virtual void StationLost() = 0;
    // The values of a read at `nowMs` (ms since the start): births again first when the
    // broker came back, then what the buffer kept, then what the filter lets through.
    virtual void Values(const ListReader& reader, uint64_t nowMs) = 0;
    // Carries out the commands that came since the last call.
    virtual void Commands(const Session& session, const ListReader& reader) = 0;
    // The last word before a clean end, delivered before the link goes (at most `timeoutMs`).
    virtual void Offline(uint32_t timeoutMs) = 0;
};

// Writes `text` to `variable` as ksym write does: parsed by the variable's type before
// anything is sent. kExitOk, or the exit code with the reason in `why`.
int WriteVariable(const Session& session, const Variable& variable, std::string text,
                  std::string& why);

} // namespace ksymtool

#endif
