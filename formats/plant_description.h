// What a project description says about the running plant beyond the symbol file: initial
// values of variables and the behaviours that move them on the simulator's clock. The SDB
// writer ignores it; the simulated controller plays it (plcsim/plant.h).
#ifndef KSYM_FORMATS_PLANT_DESCRIPTION_H
#define KSYM_FORMATS_PLANT_DESCRIPTION_H

#include <cstdint>
#include <string>
#include <vector>

#include "formats/typed_value.h"

namespace formats {

// A variable the plant touches: where its value lies and what it is. The shape is the one
// the library's readers give it (a data block, or an array of arrays or data blocks, is
// plain bytes), so that the simulator and its clients agree on every value.
struct PlantVariable {
    std::string name;
    uint16_t area = 0;
    uint32_t offset = 0;
    ValueShape shape;
};

// One behaviour, driving one variable (`target`, an index into the variables).
//   ramp:    from `from` to `to` in `periodMs`, back again in as long, and so on
//   sine:    mean + amplitude × sin(2π t / periodMs)
//   counter: adds `step` every `periodMs` (integers wrap around their type)
//   toggle:  flips every `periodMs` (a bool; an integer between 0 and 1)
//   follow:  tracks `source` (0 while `condition` is 0, when there is one), at once or by at
//            most `rate` units per second
// A value written by a client sticks until the behaviour's next event: a ramp's next turn,
// a sine's next period, a counter's or toggle's next step (which goes on from the written
// value), a followed variable's (or its condition's) next change.
struct Behaviour {
    enum class Kind { Ramp, Sine, Counter, Toggle, Follow };
    Kind kind = Kind::Ramp;
    uint32_t target = 0;
    int64_t periodMs = 0; // ramp, sine, counter, toggle
    double from = 0;      // ramp
    double to = 0;        // ramp
    double mean = 0;      // sine
    double amplitude = 0; // sine
    double step = 0;      // counter
    uint32_t source = 0;  // follow
    bool limited = false; // follow: at most `rate` per second, else at once
    double rate = 0;
    bool conditional = false; // follow: `condition` gates the source
    uint32_t condition = 0;
};

struct InitialValue {
    uint32_t variable = 0;
    std::vector<uint8_t> bytes; // host order, as the variable's shape parses its text
};

struct PlantDescription {
    std::vector<PlantVariable> variables; // those that the lines below name
    std::vector<InitialValue> inits;      // in the order of their lines
    std::vector<Behaviour> behaviours;    // in the order of their lines
    bool Empty() const { return inits.empty() && behaviours.empty(); }
};

} // namespace formats

#endif
