// The control telegrams the controller targets hold back: project=PATH (other than
// project=sample) would make the controller read a file of the input's choosing, which
// could be anything from a missing file to an endless device; clock=real would let the
// plant move with the wall clock, so that what a request changes could no longer be told
// from what time changed.
#ifndef KSYM_FUZZ_CONTROL_FILTER_H
#define KSYM_FUZZ_CONTROL_FILTER_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace ksymfuzz {

inline bool WithheldControl(const uint8_t* request, size_t length) {
    if (length == 0 || request[0] != 0xF0) {
        return false;
    }
    std::string text(reinterpret_cast<const char*>(request + 1), length - 1);
    if (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return (text.compare(0, 8, "project=") == 0 && text != "project=sample") ||
           text == "clock=real";
}

} // namespace ksymfuzz

#endif
