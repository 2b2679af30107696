// The time a verb that reads again and again (watch, record) may still run.
#ifndef KSYM_TOOLS_DEADLINE_H
#define KSYM_TOOLS_DEADLINE_H

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "include/ksymbol.h"

namespace ksymtool {

class Deadline {
public:
    // `seconds` from now; 0: no limit.
    explicit Deadline(double seconds)
        : limited_(seconds > 0), limitMs_(static_cast<uint64_t>(std::llround(seconds * 1000))),
          start_(GetTickCount()) {}
    // Milliseconds left, at most `most`.
    uint32_t Left(uint32_t most) const {
        if (!limited_) {
            return most;
        }
        const uint64_t passed = static_cast<DWORD>(GetTickCount() - start_);
        return passed >= limitMs_
                   ? 0
                   : static_cast<uint32_t>(std::min<uint64_t>(limitMs_ - passed, most));
    }
    bool Over() const { return limited_ && Left(1) == 0; }

private:
    bool limited_;
    uint64_t limitMs_;
    DWORD start_;
};

} // namespace ksymtool

#endif
