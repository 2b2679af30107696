// A recording played into a simulated controller's memory on its clock: at each moment the
// memory holds what the recorded station showed then (docs/recording-format.md).
#ifndef KSYM_PLCSIM_REPLAY_H
#define KSYM_PLCSIM_REPLAY_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "formats/recording.h"
#include "plcsim/memory.h"

namespace plcsim {

// Threads: none of its own; the controller calls it under its lock, with its memory.
// Like the plant, it is computed from the clock, not stepped: one Advance after an hour
// brings the memory up to date. Values are written as recorded, in the recording's byte
// order, which the replaying controller takes as its own.
//
// Between records a value holds; after the last record every value holds, or, with `loop`,
// the recording starts over (its first snapshot, then on). A value the station did not
// deliver, and every value during a gap, holds what came before. A client's write holds
// until the recording next gives that variable a value: a change, or the snapshot after a
// gap or at the start of a loop.
class Replay {
public:
    Replay() = default;
    // `speed` is how many recorded milliseconds pass in one of the clock's (above 0).
    Replay(std::shared_ptr<const formats::Recording> recording, double speed, bool loop);

    bool Active() const { return recording_ != nullptr; }
    // Starts at `now` with the first snapshot.
    void Start(Memory& memory, int64_t now);
    // Plays every record due by `now`; earlier times change nothing.
    void Advance(Memory& memory, int64_t now);

private:
    void Apply(Memory& memory, const formats::Record& record) const;

    std::shared_ptr<const formats::Recording> recording_;
    double speed_ = 1;
    bool loop_ = false;
    int64_t start_ = 0;
    uint64_t first_ = 0;  // the first record's time, played at the start
    uint64_t length_ = 0; // from the first record to the end record: one round of a loop
    uint64_t round_ = 0;  // the loop's round the next record belongs to
    size_t next_ = 0;     // the first record not yet played in this round
};

} // namespace plcsim

#endif
