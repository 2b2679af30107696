#include "tools/ksym/change_filter.h"

#include <cmath>

#include "tools/ksym/value_format.h"

namespace ksymtool {

namespace {

// The value as a number when its display is one (integers, floating point, bools count
// as 0 and 1 only by their bytes: they have no deadband).
std::optional<double> NumberOf(const Variable& variable, const ReadValue& value) {
    if (!value.valid || value.bytes.size() < variable.shape.size) {
        return std::nullopt;
    }
    const nlohmann::json shown = ValueJson(variable.shape, value.bytes.data());
    if (!shown.is_number()) {
        return std::nullopt;
    }
    return shown.get<double>();
}

} // namespace

std::vector<size_t> ChangeFilter::Select(const std::vector<Variable>& variables,
                                         const std::vector<ReadValue>& values, uint64_t nowMs) {
    const bool all = sent_.size() != values.size() || (heartbeatMs_ != 0 && nowMs >= heartbeatAt_);
    if (all) {
        sent_.assign(values.size(), Sent{});
        heartbeatAt_ = nowMs + heartbeatMs_;
    }
    std::vector<size_t> chosen;
    for (size_t i = 0; i < values.size() && i < variables.size(); ++i) {
        const ReadValue& value = values[i];
        Sent& last = sent_[i];
        // Only a deadband compares numbers: without one the bytes decide.
        const std::optional<double> number =
            deadband_ > 0 ? NumberOf(variables[i], value) : std::nullopt;
        bool send = all || value.valid != last.valid;
        if (!send && value.valid) {
            if (number && last.number) {
                // NaN moves out of and into the band: it is always a change.
                const double moved = std::fabs(*number - *last.number);
                send = std::isnan(moved) ? !(std::isnan(*number) && std::isnan(*last.number))
                                         : moved > deadband_;
            } else {
                send = value.bytes != last.bytes;
            }
        }
        if (send) {
            last.valid = value.valid;
            last.bytes = value.bytes;
            last.number = number;
            chosen.push_back(i);
        }
    }
    return chosen;
}

} // namespace ksymtool
