// The event object behind CreateEventA, also used as the "has ended" signal of threads.
#ifndef KPLATFORM_EVENT_H
#define KPLATFORM_EVENT_H

#include <condition_variable>
#include <mutex>

#include "platform/handle_table.h"

namespace kplatform {

class Event : public Waitable {
public:
    Event(bool manual_reset, bool initially_signalled)
        : manual_reset_(manual_reset), signalled_(initially_signalled) {}

    // Signals; an auto-reset event releases one waiter, or the next to come, and resets.
    // Signals nobody has consumed yet do not add up.
    void set();
    void reset();
    DWORD wait(DWORD milliseconds) override;

private:
    const bool manual_reset_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_;
};

} // namespace kplatform

#endif
