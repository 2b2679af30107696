#include "fakes/fake_kclient.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace fake {

namespace {

struct Entry {
    int32_t status;
    uint32_t value;
    std::vector<uint8_t> bytes;
};

struct ChannelState {
    HANDLE event = nullptr;
    std::deque<Entry> queue;
    std::vector<uint8_t> current;
};

// Everything the fake knows, guarded by one mutex: tests and the notification threads
// call in at the same time.
struct State {
    std::mutex mutex;
    std::condition_variable unblocked;
    std::map<int32_t, ChannelState> channels;
    int32_t nextChannel = 1;
    int32_t failOpenCode = 0;
    int32_t writeLimit = -1;
    std::map<int32_t, uint32_t> dwords;
    bool hasProjectName = true;
    std::string projectName = "PLANT1.PRO";
    bool replyStatusBlocked = false;
    int replyStatusCalls = 0;
    std::vector<Telegram> telegrams;
    std::vector<DebugLine> debugLines;
    std::vector<OpenCall> openCalls;
    std::vector<int32_t> closed;
    std::vector<bool> eventsOpenAtClose;
    std::vector<int32_t> dwordQueries;
};

State& S() {
    static State state;
    return state;
}

thread_local int32_t lastError = 0;

std::atomic<CallHook> callHook{nullptr};

// Tells the hook that a client function runs, for the scope of the call.
class CallScope {
public:
    CallScope() : hook_(callHook.load()) {
        if (hook_ != nullptr) {
            hook_(true);
        }
    }
    ~CallScope() {
        if (hook_ != nullptr) {
            hook_(false);
        }
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    CallHook hook_;
};

int32_t Open(const OpenCall& call, int32_t reopen) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.openCalls.push_back(call);
    if (reopen != 0) {
        auto found = s.channels.find(reopen);
        if (found == s.channels.end()) {
            lastError = KCLIENT_ERR_NO_CHANNEL;
            return -1;
        }
        ChannelState moved = std::move(found->second);
        s.channels.erase(found);
        moved.event = call.event;
        const int32_t number = s.nextChannel++;
        s.channels.emplace(number, std::move(moved));
        return number;
    }
    if (s.failOpenCode != 0) {
        lastError = s.failOpenCode;
        s.failOpenCode = 0;
        return -1;
    }
    const int32_t number = s.nextChannel++;
    s.channels[number].event = call.event;
    return number;
}

} // namespace

void Reset() {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.channels.clear();
    s.nextChannel = 1;
    s.failOpenCode = 0;
    s.writeLimit = -1;
    s.dwords.clear();
    s.hasProjectName = true;
    s.projectName = "PLANT1.PRO";
    s.replyStatusBlocked = false;
    s.replyStatusCalls = 0;
    s.telegrams.clear();
    s.debugLines.clear();
    s.openCalls.clear();
    s.closed.clear();
    s.eventsOpenAtClose.clear();
    s.dwordQueries.clear();
    s.unblocked.notify_all();
}

void FailNextOpen(int32_t code) {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().failOpenCode = code;
}

void SetWriteLimit(int32_t limit) {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().writeLimit = limit;
}

void SetDWord(int32_t index, uint32_t value) {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().dwords[index] = value;
}

void SetProjectName(const char* name) {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().hasProjectName = name != nullptr;
    S().projectName = name != nullptr ? name : "";
}

void QueueReply(int32_t channel, int32_t status, uint32_t value,
                const std::vector<uint8_t>& bytes) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto found = s.channels.find(channel);
    if (found == s.channels.end()) {
        return;
    }
    const bool wasEmpty = found->second.queue.empty();
    found->second.queue.push_back(Entry{status, value, bytes});
    if (wasEmpty) {
        SetEvent(found->second.event);
    }
}

void BlockReplyStatus(bool blocked) {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().replyStatusBlocked = blocked;
    S().unblocked.notify_all();
}

std::vector<Telegram> Telegrams() {
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().telegrams;
}

std::vector<DebugLine> DebugLines() {
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().debugLines;
}

std::vector<OpenCall> OpenCalls() {
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().openCalls;
}

std::vector<int32_t> ClosedChannels() {
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().closed;
}

std::vector<bool> EventsOpenAtClose() {
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().eventsOpenAtClose;
}

std::vector<int32_t> DWordQueries() {
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().dwordQueries;
}

int ReplyStatusCalls() {
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().replyStatusCalls;
}

bool IsOpen(int32_t channel) {
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().channels.count(channel) != 0;
}

HarnessScope::HarnessScope() : hook_(callHook.load()) {
    if (hook_ != nullptr) {
        hook_(true);
    }
}

HarnessScope::~HarnessScope() {
    if (hook_ != nullptr) {
        hook_(false);
    }
}

void SetCallHook(CallHook hook) {
    callHook.store(hook);
}

HANDLE ChannelEvent(int32_t channel) {
    std::lock_guard<std::mutex> lock(S().mutex);
    auto found = S().channels.find(channel);
    return found == S().channels.end() ? nullptr : found->second.event;
}

} // namespace fake

using fake::S;

extern "C" {

KCLIENT_API int32_t KClientOpenChannelEx(const char* station, int32_t reopen, HWND window,
                                         UINT message, HANDLE event) {
    const fake::CallScope scope;
    return fake::Open(fake::OpenCall{false, station, reopen, 0, window, message, event}, reopen);
}

KCLIENT_API int32_t KClientKOpenChannelEx(const char* station, int32_t second, int32_t third,
                                          HWND window, UINT message, HANDLE event) {
    const fake::CallScope scope;
    return fake::Open(fake::OpenCall{true, station, second, third, window, message, event}, 0);
}

KCLIENT_API int32_t KClientCloseChannel(int32_t channel) {
    const fake::CallScope scope;
    std::lock_guard<std::mutex> lock(S().mutex);
    S().closed.push_back(channel);
    auto found = S().channels.find(channel);
    if (found == S().channels.end()) {
        return 0;
    }
    // A zero wait fails only on a handle that is no longer open; a signal it takes is put back.
    const HANDLE event = found->second.event;
    const DWORD probe = event == nullptr ? WAIT_FAILED : WaitForSingleObject(event, 0);
    if (probe == WAIT_OBJECT_0) {
        SetEvent(event);
    }
    S().eventsOpenAtClose.push_back(probe != WAIT_FAILED);
    S().channels.erase(found);
    return 1;
}

KCLIENT_API int32_t KClientWrite(int32_t channel, const void* telegram, uint32_t length) {
    const fake::CallScope scope;
    std::lock_guard<std::mutex> lock(S().mutex);
    const uint8_t* bytes = static_cast<const uint8_t*>(telegram);
    S().telegrams.push_back(fake::Telegram{channel, std::vector<uint8_t>(bytes, bytes + length)});
    const int32_t limit = S().writeLimit;
    const int32_t full = static_cast<int32_t>(length);
    return limit < 0 ? full : std::min(limit, full);
}

KCLIENT_API int32_t KClientRead(int32_t channel, void* buffer, uint32_t capacity) {
    const fake::CallScope scope;
    std::lock_guard<std::mutex> lock(S().mutex);
    auto found = S().channels.find(channel);
    if (found == S().channels.end()) {
        return 0;
    }
    const std::vector<uint8_t>& current = found->second.current;
    const size_t count = std::min<size_t>(capacity, current.size());
    if (count != 0) {
        std::memcpy(buffer, current.data(), count);
    }
    return static_cast<int32_t>(count);
}

KCLIENT_API uint32_t KClientDllKGetDataSize(int32_t channel) {
    const fake::CallScope scope;
    std::lock_guard<std::mutex> lock(S().mutex);
    auto found = S().channels.find(channel);
    return found == S().channels.end() ? 0u : static_cast<uint32_t>(found->second.current.size());
}

KCLIENT_API int32_t KClientGetReplyStatus(int32_t channel, uint32_t* value) {
    const fake::CallScope scope;
    std::unique_lock<std::mutex> lock(S().mutex);
    ++S().replyStatusCalls;
    S().unblocked.wait(lock, [] { return !S().replyStatusBlocked; });
    auto found = S().channels.find(channel);
    if (found == S().channels.end() || found->second.queue.empty()) {
        return COMM_NOSTATUS;
    }
    fake::ChannelState& state = found->second;
    fake::Entry entry = std::move(state.queue.front());
    state.queue.pop_front();
    *value = entry.value;
    if (entry.status == COMM_MESSAGEREADY) {
        state.current = std::move(entry.bytes);
    }
    if (!state.queue.empty()) {
        SetEvent(state.event);
    }
    return entry.status;
}

KCLIENT_API uint32_t KClientGetDWord(int32_t, int32_t index) {
    const fake::CallScope scope;
    std::lock_guard<std::mutex> lock(S().mutex);
    S().dwordQueries.push_back(index);
    auto found = S().dwords.find(index);
    return found == S().dwords.end() ? 0u : found->second;
}

KCLIENT_API int32_t KClientGetProjectName(int32_t, char* buffer, uint32_t capacity) {
    const fake::CallScope scope;
    std::lock_guard<std::mutex> lock(S().mutex);
    if (!S().hasProjectName || capacity <= S().projectName.size()) {
        return 0;
    }
    std::memcpy(buffer, S().projectName.c_str(), S().projectName.size() + 1);
    return 1;
}

KCLIENT_API void KClientSetLastError(int32_t code) {
    const fake::CallScope scope;
    fake::lastError = code;
}

KCLIENT_API int32_t KClientGetLastError(void) {
    const fake::CallScope scope;
    return fake::lastError;
}

// The client library's functions beyond the twelve KSymbol calls. A build of the fake with
// KFAKE_INTERFACE_ONLY leaves them out, so that a KSymbol that called one could not load
// beside it.
#ifndef KFAKE_INTERFACE_ONLY
KCLIENT_API const char* KClientGetErrorText(void) {
    const fake::CallScope scope;
    return "";
}

KCLIENT_API void KClientSetDebugTarget(const char*) {}
#endif

KCLIENT_API void KClientDllKDebugOut(int32_t channel, const char* format, ...) {
    const fake::CallScope scope;
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::lock_guard<std::mutex> lock(S().mutex);
    S().debugLines.push_back(fake::DebugLine{channel, text});
}

} // extern "C"
