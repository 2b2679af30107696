// Closes a POSIX file descriptor at the end of its scope unless it was released.
#ifndef KPLATFORM_DESCRIPTOR_H
#define KPLATFORM_DESCRIPTOR_H

#include <unistd.h>

namespace kplatform {

class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (descriptor_ >= 0)
            ::close(descriptor_);
    }
    int get() const { return descriptor_; }
    // Hands the descriptor over; it is no longer closed here.
    int release() {
        const int descriptor = descriptor_;
        descriptor_ = -1;
        return descriptor;
    }

private:
    int descriptor_;
};

} // namespace kplatform

#endif
