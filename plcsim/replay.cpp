#include "plcsim/replay.h"

#include <cmath>
#include <cstdint>

namespace plcsim {

Replay::Replay(std::shared_ptr<const formats::Recording> recording, double speed, bool loop)
    : recording_(std::move(recording)), speed_(speed > 0 ? speed : 1), loop_(loop) {
    if (recording_ != nullptr && !recording_->records.empty()) {
        first_ = recording_->records.front().t;
        length_ = recording_->records.back().t - first_;
    }
}

void Replay::Start(Memory& memory, int64_t now) {
    start_ = now;
    round_ = 0;
    next_ = 0;
    Advance(memory, now);
}

void Replay::Advance(Memory& memory, int64_t now) {
    if (recording_ == nullptr || now < start_) {
        return;
    }
    // The recorded time now; far beyond any recording, it stays at the largest exact number.
    const double scaled = std::floor(static_cast<double>(now - start_) * speed_);
    const uint64_t played =
        scaled >= 9007199254740992.0 ? 9007199254740992ull : static_cast<uint64_t>(scaled);
    // A recording's times come from its file: their sum saturates rather than wraps.
    uint64_t at = played > UINT64_MAX - first_ ? UINT64_MAX : first_ + played;
    if (loop_ && length_ != 0) {
        const uint64_t round = played / length_;
        at = first_ + played % length_;
        if (round != round_) {
            // A new round starts over from the first snapshot, which gives every value again.
            round_ = round;
            next_ = 0;
        }
    }
    const auto& records = recording_->records;
    while (next_ < records.size() && records[next_].t <= at) {
        Apply(memory, records[next_]);
        ++next_;
    }
}

void Replay::Apply(Memory& memory, const formats::Record& record) const {
    if (record.kind != formats::Record::Kind::Snapshot &&
        record.kind != formats::Record::Kind::Changes) {
        return;
    }
    for (const formats::RecordedValue& value : record.values) {
        if (!value.present) {
            continue;
        }
        const formats::RecordedVariable& variable = recording_->header.variables[value.variable];
        if (variable.size == 0) {
            memory.WriteBit(variable.area, variable.offset, value.bytes[0] != 0);
        } else {
            memory.Write(variable.area, variable.offset, value.bytes.data(), variable.size);
        }
    }
}

} // namespace plcsim
