#include "bench/symbol_sets.h"

#include <random>
#include <unordered_set>
#include <utility>

#include "formats/sdb_writer.h"

namespace ksymbench {

namespace {

// The engine is specified exactly by the standard, the distributions are not: draws are
// reduced by hand so that every library makes the same sets.
using Engine = std::mt19937_64;

size_t Below(Engine& engine, size_t bound) {
    return static_cast<size_t>(engine() % bound);
}

} // namespace

std::vector<std::string> HierarchicalNames(size_t count) {
    static const char* const kSignals[] = {"Speed", "Torque", "Current",  "Temp",     "Run",
                                           "Fault", "Ready",  "Setpoint", "Position", "Hours"};
    static const char* const kDevices[] = {"Motor", "Valve", "Pump", "Drive", "Sensor"};
    constexpr size_t kSignalCount = 10;
    constexpr size_t kDevicesPerStation = 10;
    constexpr size_t kStationsPerLine = 25;
    std::vector<std::string> names;
    names.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const size_t signal = i % kSignalCount;
        const size_t device = i / kSignalCount % kDevicesPerStation;
        const size_t station = i / (kSignalCount * kDevicesPerStation) % kStationsPerLine;
        const size_t line = i / (kSignalCount * kDevicesPerStation * kStationsPerLine);
        names.push_back("Line" + std::to_string(line + 1) + ".Station" +
                        std::to_string(station + 1) + "." + kDevices[device % 5] +
                        std::to_string(device + 1) + "." + kSignals[signal]);
    }
    return names;
}

std::vector<std::string> AnagramNames(size_t count) {
    Engine engine(20261208);
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    names.reserve(count);
    std::string letters = "ABCDEFGHIJ";
    while (names.size() < count) {
        for (size_t i = letters.size() - 1; i > 0; --i) { // Fisher-Yates
            std::swap(letters[i], letters[Below(engine, i + 1)]);
        }
        if (seen.insert(letters).second) {
            names.push_back(letters);
        }
    }
    return names;
}

std::vector<uint8_t> SdbImageFor(const std::vector<std::string>& names) {
    formats::SdbProject project;
    project.projectId = 0x2026120B;
    project.types = {{1, 1, "BOOL", 0, 0, {}, 0},
                     {2, 2, "INT", 0, 0, {}, 0},
                     {4, 4, "DINT", 0, 0, {}, 0},
                     {5, 4, "REAL", 0, 0, {}, 0}};
    project.variables.reserve(names.size());
    uint32_t offset = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const auto type = static_cast<uint32_t>(i % project.types.size());
        project.variables.push_back({names[i], type, 0, 3, offset});
        offset += project.types[type].size;
    }
    return formats::WriteSdb(project);
}

std::vector<size_t> RandomPicks(size_t count, size_t size) {
    Engine engine(7);
    std::vector<size_t> picks(count);
    for (size_t& pick : picks) {
        pick = Below(engine, size);
    }
    return picks;
}

} // namespace ksymbench
