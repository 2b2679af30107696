#include "plcsim/plant.h"

#include <algorithm>
#include <cmath>

namespace plcsim {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// The most bytes a number takes (an LREAL, a LINT): behaviours read and write their numbers
// through a buffer of this size, so that a request costs no allocation.
constexpr uint32_t kMaxNumberSize = 8;

// Converts a value's `size` bytes between the controller's order and the host's: each unit
// is reversed when the two differ.
void Reorder(uint8_t* bytes, size_t size, uint32_t unit, formats::ByteOrder order) {
    if (order == formats::HostOrder() || unit < 2) {
        return;
    }
    for (size_t at = 0; at + unit <= size; at += unit) {
        std::reverse(bytes + at, bytes + at + unit);
    }
}

// Whether a variable's bytes meet the bytes a write covered.
bool Overlaps(const formats::PlantVariable& variable, uint16_t area, uint32_t offset,
              uint32_t size) {
    if (variable.area != area) {
        return false;
    }
    const uint64_t first = size == 0 ? offset / 8u : offset;
    const uint64_t end = first + (size == 0 ? 1u : size);
    const uint64_t begin = variable.offset;
    return begin < end && first < begin + std::max<uint32_t>(variable.shape.size, 1u);
}

// The start of the next period after `t` (both from the plant's start).
int64_t NextPeriod(int64_t t, int64_t period) {
    return (t / period + 1) * period;
}

} // namespace

Plant::Plant(std::shared_ptr<const formats::PlantDescription> description)
    : description_(std::move(description)),
      states_(description_ != nullptr ? description_->behaviours.size() : 0) {}

double Plant::Read(const Memory& memory, formats::ByteOrder order, uint32_t variable) const {
    const formats::PlantVariable& planted = description_->variables[variable];
    const uint32_t size = planted.shape.size;
    uint8_t bytes[kMaxNumberSize];
    if (size == 0 || size > kMaxNumberSize ||
        !memory.Read(planted.area, planted.offset, size, bytes)) {
        return 0.0;
    }
    Reorder(bytes, size, formats::ByteOrderUnit(planted.shape), order);
    return formats::NumberOf(planted.shape, bytes);
}

void Plant::Write(Memory& memory, formats::ByteOrder order, uint32_t variable,
                  double number) const {
    const formats::PlantVariable& planted = description_->variables[variable];
    const uint32_t size = planted.shape.size;
    uint8_t bytes[kMaxNumberSize];
    if (size == 0 || size > kMaxNumberSize) {
        return;
    }
    formats::StoreNumber(planted.shape, number, bytes);
    Reorder(bytes, size, formats::ByteOrderUnit(planted.shape), order);
    memory.Write(planted.area, planted.offset, bytes, size);
}

void Plant::Start(Memory& memory, formats::ByteOrder order, int64_t now) {
    if (description_ == nullptr) {
        return;
    }
    start_ = now;
    for (const formats::InitialValue& init : description_->inits) {
        const formats::PlantVariable& planted = description_->variables[init.variable];
        std::vector<uint8_t> bytes = init.bytes;
        Reorder(bytes.data(), bytes.size(), formats::ByteOrderUnit(planted.shape), order);
        memory.Write(planted.area, planted.offset, bytes.data(), planted.shape.size);
    }
    for (size_t i = 0; i < states_.size(); ++i) {
        states_[i] = State{};
        states_[i].last = now;
    }
    for (size_t i = 0; i < states_.size(); ++i) {
        Step(memory, order, description_->behaviours[i], states_[i], now);
    }
}

void Plant::Advance(Memory& memory, formats::ByteOrder order, int64_t now) {
    if (description_ == nullptr) {
        return;
    }
    for (size_t i = 0; i < states_.size(); ++i) {
        if (now >= states_[i].last) {
            Step(memory, order, description_->behaviours[i], states_[i], now);
        }
    }
}

void Plant::Written(Memory& memory, formats::ByteOrder order, uint16_t area, uint32_t offset,
                    uint32_t size, int64_t now) {
    if (description_ == nullptr) {
        return;
    }
    for (size_t i = 0; i < states_.size(); ++i) {
        const formats::Behaviour& behaviour = description_->behaviours[i];
        if (!Overlaps(description_->variables[behaviour.target], area, offset, size)) {
            continue;
        }
        State& state = states_[i];
        switch (behaviour.kind) {
        case formats::Behaviour::Kind::Ramp:
        case formats::Behaviour::Kind::Sine:
            state.holdUntil = start_ + NextPeriod(now - start_, behaviour.periodMs);
            break;
        case formats::Behaviour::Kind::Follow:
            state.holding = true;
            state.lastSource = Read(memory, order, behaviour.source);
            state.lastCondition =
                behaviour.conditional ? Read(memory, order, behaviour.condition) : 1.0;
            break;
        case formats::Behaviour::Kind::Counter:
        case formats::Behaviour::Kind::Toggle:
            break; // their next step goes on from the written value
        }
    }
}

void Plant::Count(Memory& memory, formats::ByteOrder order, const formats::Behaviour& behaviour,
                  int64_t ticks) const {
    const formats::PlantVariable& planted = description_->variables[behaviour.target];
    const formats::ValueShape& shape = planted.shape;
    if (shape.kind == formats::ValueKind::kFloat) {
        Write(memory, order, behaviour.target,
              Read(memory, order, behaviour.target) + behaviour.step * static_cast<double>(ticks));
        return;
    }
    // Integers count around their type, in the arithmetic of 64-bit words.
    uint8_t bytes[kMaxNumberSize];
    if (shape.size == 0 || shape.size > kMaxNumberSize ||
        !memory.Read(planted.area, planted.offset, shape.size, bytes)) {
        return;
    }
    Reorder(bytes, shape.size, shape.size, order);
    const auto step = static_cast<uint64_t>(static_cast<int64_t>(behaviour.step));
    formats::StoreUnsigned(formats::LoadUnsigned(bytes, shape.size) +
                               step * static_cast<uint64_t>(ticks),
                           shape.size, bytes);
    Reorder(bytes, shape.size, shape.size, order);
    memory.Write(planted.area, planted.offset, bytes, shape.size);
}

void Plant::Follow(Memory& memory, formats::ByteOrder order, const formats::Behaviour& behaviour,
                   State& state, int64_t now) {
    const double source = Read(memory, order, behaviour.source);
    const double condition = behaviour.conditional ? Read(memory, order, behaviour.condition) : 1.0;
    if (state.holding && (source != state.lastSource || condition != state.lastCondition)) {
        state.holding = false;
    }
    state.lastSource = source;
    state.lastCondition = condition;
    if (state.holding) {
        return;
    }
    const double target = condition != 0.0 ? source : 0.0;
    if (!behaviour.limited) {
        Write(memory, order, behaviour.target, target);
        return;
    }
    // A rate moves the value a little at every advance; the position keeps the fractions
    // that a whole-numbered variable cannot hold, until someone else changes the value.
    const double current = Read(memory, order, behaviour.target);
    if (!state.positioned || current != state.lastWritten) {
        state.position = current;
        state.positioned = true;
    }
    const double most = behaviour.rate * static_cast<double>(now - state.last) / 1000.0;
    state.position += std::clamp(target - state.position, -most, most);
    Write(memory, order, behaviour.target, state.position);
    state.lastWritten = Read(memory, order, behaviour.target);
}

void Plant::Step(Memory& memory, formats::ByteOrder order, const formats::Behaviour& behaviour,
                 State& state, int64_t now) {
    const int64_t t = now - start_;
    const int64_t period = behaviour.periodMs;
    switch (behaviour.kind) {
    case formats::Behaviour::Kind::Ramp: {
        if (now < state.holdUntil) {
            break;
        }
        const int64_t phase = t % (2 * period);
        const double part = static_cast<double>(phase < period ? phase : 2 * period - phase) /
                            static_cast<double>(period);
        Write(memory, order, behaviour.target,
              behaviour.from + (behaviour.to - behaviour.from) * part);
        break;
    }
    case formats::Behaviour::Kind::Sine: {
        if (now < state.holdUntil) {
            break;
        }
        const double angle = kTwoPi * static_cast<double>(t % period) / static_cast<double>(period);
        Write(memory, order, behaviour.target,
              behaviour.mean + behaviour.amplitude * std::sin(angle));
        break;
    }
    case formats::Behaviour::Kind::Counter:
    case formats::Behaviour::Kind::Toggle: {
        const int64_t ticks = t / period - (state.last - start_) / period;
        if (ticks <= 0) {
            break;
        }
        if (behaviour.kind == formats::Behaviour::Kind::Counter) {
            Count(memory, order, behaviour, ticks);
        } else if (ticks % 2 != 0) {
            Write(memory, order, behaviour.target,
                  Read(memory, order, behaviour.target) != 0.0 ? 0.0 : 1.0);
        }
        break;
    }
    case formats::Behaviour::Kind::Follow:
        Follow(memory, order, behaviour, state, now);
        break;
    }
    state.last = std::max(state.last, now);
}

} // namespace plcsim
