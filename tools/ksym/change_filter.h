// Which values a publisher sends after a read: those that changed since they were last sent
// (numbers only when they moved by more than the deadband), every value when the heartbeat
// is due, and every value after a (re)connection.
#ifndef KSYM_TOOLS_CHANGE_FILTER_H
#define KSYM_TOOLS_CHANGE_FILTER_H

#include <cstdint>
#include <optional>
#include <vector>

#include "tools/ksym/list_read.h"

namespace ksymtool {

class ChangeFilter {
public:
    // `deadband`: the absolute amount a number must move by (0: any change);
    // `heartbeatMs`: every value again this often (0: never).
    ChangeFilter(double deadband, uint64_t heartbeatMs)
        : deadband_(deadband), heartbeatMs_(heartbeatMs) {}

    // Everything is sent with the next read, as after a connection.
    void Reset() { sent_.clear(); }

    // The indices of the values of this read (at `nowMs`) to send; they count as sent.
    std::vector<size_t> Select(const std::vector<Variable>& variables,
                               const std::vector<ReadValue>& values, uint64_t nowMs);

private:
    struct Sent {
        bool valid = false;
        std::vector<uint8_t> bytes;
        std::optional<double> number; // the value as a number, for the deadband
    };

    double deadband_;
    uint64_t heartbeatMs_;
    std::vector<Sent> sent_; // empty: nothing sent since the last reset
    uint64_t heartbeatAt_ = 0;
};

} // namespace ksymtool

#endif
