// The running plant of a simulated controller: the initial values and behaviours of its
// project's description, played into the controller's memory on its clock.
#ifndef KSYM_PLCSIM_PLANT_H
#define KSYM_PLCSIM_PLANT_H

#include <cstdint>
#include <memory>
#include <vector>

#include "formats/byte_order.h"
#include "plcsim/memory.h"
#include "formats/plant_description.h"

namespace plcsim {

// Threads: none of its own; the controller calls it under its lock, with its memory.
// Behaviours are computed from the clock, not stepped: a plant left alone for an hour is
// brought up to date by one Advance, and a manual clock gives the same values every time.
class Plant {
public:
    Plant() = default;
    explicit Plant(std::shared_ptr<const formats::PlantDescription> description);

    // Writes every initial value and starts every behaviour at `now` (values as at `now`).
    void Start(Memory& memory, formats::ByteOrder order, int64_t now);
    // Brings every behaviour up to `now`; earlier times change nothing.
    void Advance(Memory& memory, formats::ByteOrder order, int64_t now);
    // The write service changed `size` bytes at `offset` of `area` (size 0: the byte of bit
    // `offset`): the behaviours of the variables written hold their new value until their
    // next event.
    void Written(Memory& memory, formats::ByteOrder order, uint16_t area, uint32_t offset,
                 uint32_t size, int64_t now);

private:
    // What a behaviour remembers between two advances.
    struct State {
        int64_t last = 0;       // the time of the last advance
        int64_t holdUntil = -1; // ramp, sine: a written value stands until then
        bool holding = false;   // follow: a written value stands until its inputs change
        double lastSource = 0;  // follow: the inputs when last looked at
        double lastCondition = 0;
        double position = 0;    // follow with a rate: where it is, between whole steps
        double lastWritten = 0; // follow with a rate: the value it stored last
        bool positioned = false;
    };

    double Read(const Memory& memory, formats::ByteOrder order, uint32_t variable) const;
    void Write(Memory& memory, formats::ByteOrder order, uint32_t variable, double number) const;
    void Step(Memory& memory, formats::ByteOrder order, const formats::Behaviour& behaviour,
              State& state, int64_t now);
    void Count(Memory& memory, formats::ByteOrder order, const formats::Behaviour& behaviour,
               int64_t ticks) const;
    void Follow(Memory& memory, formats::ByteOrder order, const formats::Behaviour& behaviour,
                State& state, int64_t now);

    std::shared_ptr<const formats::PlantDescription> description_;
    std::vector<State> states_; // one per behaviour
    int64_t start_ = 0;         // the time of Start: behaviours count from there
};

} // namespace plcsim

#endif
