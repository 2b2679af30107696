// A scripted stand-in for the client library: it exports the same functions as KClient,
// records every telegram and debug line, and lets a test queue reply statuses, shorten
// writes, refuse opens and set the station's settings.
#ifndef KSYM_TESTS_FAKES_FAKE_KCLIENT_H
#define KSYM_TESTS_FAKES_FAKE_KCLIENT_H

#include <cstdint>
#include <string>
#include <vector>

#include "extern/kclient.h"

#ifdef _WIN32
#ifdef KFAKE_BUILDING
#define FAKE_API __declspec(dllexport)
#else
#define FAKE_API __declspec(dllimport)
#endif
#else
#define FAKE_API __attribute__((visibility("default")))
#endif

namespace fake {

struct Telegram {
    int32_t channel;
    std::vector<uint8_t> bytes;
};

struct DebugLine {
    int32_t channel;
    std::string text;
};

struct OpenCall {
    bool kVariant; // KClientKOpenChannelEx
    const char* station;
    int32_t second; // the re-open number, or the K variant's second argument
    int32_t third;
    HWND window;
    UINT message;
    HANDLE event;
};

// Forgets everything and closes every channel; channel numbers start at 1 again.
FAKE_API void Reset();
// The next new open returns -1 and records `code`.
FAKE_API void FailNextOpen(int32_t code);
// KClientWrite accepts at most `limit` bytes of a telegram; -1 accepts all.
FAKE_API void SetWriteLimit(int32_t limit);
// KClientGetDWord(any channel, index) answers value.
FAKE_API void SetDWord(int32_t index, uint32_t value);
// KClientGetProjectName answers name; null makes it fail.
FAKE_API void SetProjectName(const char* name);
// Appends an entry to the channel's queue and signals its event as the real client does.
FAKE_API void QueueReply(int32_t channel, int32_t status, uint32_t value,
                         const std::vector<uint8_t>& bytes = {});
// While blocked, KClientGetReplyStatus waits (the dispatcher looks stuck).
FAKE_API void BlockReplyStatus(bool blocked);

// Called with true on entry to every client function and with false on its return, on the
// caller's thread: a test that makes allocations fail on purpose exempts the fake's own
// bookkeeping, which the real client does not have. Null removes the hook.
using CallHook = void (*)(bool entering);
FAKE_API void SetCallHook(CallHook hook);

// For the life of the object the calling thread's work counts as the client library's: what a
// test does itself (a thread playing the station, waiting for a message) is not the library's
// under test, and allocations made for it must not fail on purpose.
class FAKE_API HarnessScope {
public:
    HarnessScope();
    ~HarnessScope();
    HarnessScope(const HarnessScope&) = delete;
    HarnessScope& operator=(const HarnessScope&) = delete;

private:
    CallHook hook_;
};

FAKE_API std::vector<Telegram> Telegrams();
FAKE_API std::vector<DebugLine> DebugLines();
FAKE_API std::vector<OpenCall> OpenCalls();
FAKE_API std::vector<int32_t> ClosedChannels();
// For each KClientCloseChannel of an open channel, in order: whether the event the channel
// was opened with was still an open handle then (the client may signal it until it closes).
FAKE_API std::vector<bool> EventsOpenAtClose();
FAKE_API std::vector<int32_t> DWordQueries(); // indexes asked for, in order
FAKE_API int ReplyStatusCalls();
FAKE_API bool IsOpen(int32_t channel);
FAKE_API HANDLE ChannelEvent(int32_t channel);

} // namespace fake

#endif
