// The simulated controller's clock, in milliseconds since the controller (re)started its
// plant: the real time, or a manual clock that only its user moves, so that tests drive the
// plant's behaviours step by step.
#ifndef KSYM_PLCSIM_SIM_CLOCK_H
#define KSYM_PLCSIM_SIM_CLOCK_H

#include <chrono>
#include <cstdint>

namespace plcsim {

// Threads: none of its own; the controller calls it under its lock.
class SimClock {
public:
    SimClock() { Restart(false); }

    // Back to 0; manual (stands still until Advance) or real (runs with the time).
    void Restart(bool manual) {
        manual_ = manual;
        base_ = 0;
        started_ = std::chrono::steady_clock::now();
    }
    bool Manual() const { return manual_; }

    int64_t Now() const {
        if (manual_) {
            return base_;
        }
        const auto elapsed = std::chrono::steady_clock::now() - started_;
        return base_ + std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    }

    // Moves a manual clock on; a real one ignores it.
    void Advance(uint32_t ms) {
        if (manual_) {
            base_ += ms;
        }
    }

    // Lets the clock run with the time from where it stands.
    void Run() {
        base_ = Now();
        started_ = std::chrono::steady_clock::now();
        manual_ = false;
    }

private:
    bool manual_ = false;
    int64_t base_ = 0;
    std::chrono::steady_clock::time_point started_;
};

} // namespace plcsim

#endif
