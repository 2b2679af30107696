#include "plcsim/config.h"

#include <cerrno>
#include <cstdlib>

#include "formats/description_words.h"

namespace plcsim {

namespace {

bool ParseNumber(const std::string& text, uint32_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool ApplyOption(const std::string& key, const std::string& value, Config& config) {
    if (key == "project") {
        config.projectPath = value;
        return !value.empty();
    }
    if (key == "order") {
        if (value != "big" && value != "little") {
            return false;
        }
        config.order = value == "big" ? formats::ByteOrder::Big : formats::ByteOrder::Little;
        return true;
    }
    if (key == "values") {
        config.pattern = value == "pattern";
        return value == "pattern" || value == "plant";
    }
    if (key == "clock") {
        config.manualClock = value == "manual";
        return value == "manual" || value == "real";
    }
    if (key == "block") {
        return ParseNumber(value, config.blockSize);
    }
    if (key == "chunk") {
        return ParseNumber(value, config.chunkSize) && config.chunkSize != 0;
    }
    if (key == "latency") {
        return ParseNumber(value, config.latencyMs);
    }
    if (key == "memory") {
        return ParseNumber(value, config.memorySize) && config.memorySize != 0 &&
               config.memorySize <= kMaxMemorySize;
    }
    if (key == "absent") {
        MemoryAddress address;
        if (!ParseMemoryAddress(value, address)) {
            return false;
        }
        config.absent.insert(address);
        return true;
    }
    if (key == "replay") {
        config.replayPath = value;
        return !value.empty();
    }
    if (key == "speed") {
        double speed = 0;
        if (!formats::description::ParseReal(value, speed) || !(speed > 0) ||
            speed > kMaxReplaySpeed) {
            return false;
        }
        config.speed = speed;
        return true;
    }
    if (key == "fault") {
        Fault fault{};
        if (!ParseFault(value, fault)) {
            return false;
        }
        config.faults.insert(fault);
        return true;
    }
    return false;
}

} // namespace

bool ParseMemoryAddress(const std::string& text, MemoryAddress& address) {
    const size_t colon = text.find(':');
    uint32_t area = 0;
    uint32_t offset = 0;
    if (colon == std::string::npos || !ParseNumber(text.substr(0, colon), area) || area > 0xFFFF ||
        !ParseNumber(text.substr(colon + 1), offset)) {
        return false;
    }
    address.area = static_cast<uint16_t>(area);
    address.offset = offset;
    return true;
}

bool ParseConfig(const std::string& options, Config& config, std::string& error) {
    size_t start = 0;
    while (start <= options.size()) {
        size_t end = options.find(';', start);
        if (end == std::string::npos) {
            end = options.size();
        }
        const std::string option = options.substr(start, end - start);
        start = end + 1;
        if (option.empty()) {
            continue;
        }
        if (option == "loop") {
            config.loop = true;
            continue;
        }
        const size_t equals = option.find('=');
        const std::string key = option.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
        if (equals == std::string::npos || !ApplyOption(key, value, config)) {
            error = "bad simulator option '" + option + "'";
            return false;
        }
    }
    return true;
}

} // namespace plcsim
