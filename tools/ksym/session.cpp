#include "tools/ksym/session.h"

#include <cstdio>

#include "extern/kclient.h"
#include "tools/ksym/failure_text.h"

namespace ksymtool {

namespace {

constexpr UINT kNotifyMsg = WM_USER + 1;

} // namespace

Session::~Session() {
    if (channel_ != -1) {
        KSymCloseChannel(channel_);
    }
    if (window_ != nullptr) {
        DestroyWindow(window_);
    }
}

bool Session::Open() {
    window_ = CreateWindowExA(0, "STATIC", "ksym", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                              nullptr);
    if (window_ == nullptr) {
        std::fprintf(stderr, "ksym: cannot create the notification window\n");
        return false;
    }
    channel_ = KSymOpenChannel(options_.station.c_str(), 0, window_, kNotifyMsg);
    if (channel_ == -1) {
        std::fprintf(stderr, "ksym: cannot open a channel to '%s': %s\n", options_.station.c_str(),
                     OpenFailure().c_str());
        return false;
    }
    return true;
}

bool Session::Reconnect(std::string& why) {
    symbols_ = nullptr;
    symbolCount_ = 0;
    if (channel_ != -1) {
        const int32_t moved = KSymOpenChannelEx(
            options_.station.c_str(), KSYM_REOPEN_BASE + channel_, window_, kNotifyMsg, 0);
        if (moved != -1) {
            channel_ = moved;
            DropNotifications();
            return true;
        }
        KSymCloseChannel(channel_);
        channel_ = -1;
    }
    channel_ = KSymOpenChannel(options_.station.c_str(), 0, window_, kNotifyMsg);
    if (channel_ == -1) {
        why = OpenFailure();
        return false;
    }
    DropNotifications();
    return true;
}

void Session::DropNotifications() const {
    MSG msg{};
    while (PeekMessageA(&msg, window_, kNotifyMsg, kNotifyMsg, PM_REMOVE)) {
    }
}

int32_t Session::Close() {
    symbols_ = nullptr;
    symbolCount_ = 0;
    const int32_t closed = KSymCloseChannel(channel_);
    channel_ = -1;
    return closed;
}

bool Session::LoadSymbols(const char* prefix, bool quiet) {
    if (KSymLoadSymbols(channel_, prefix, &symbols_, &symbolCount_) == 0) {
        symbols_ = nullptr;
        symbolCount_ = 0;
        if (!quiet) {
            std::fprintf(stderr, "ksym: cannot load the symbols: %s\n", LoadFailure().c_str());
        }
        return false;
    }
    return true;
}

Notification Session::Wait(uint32_t timeoutMs) const {
    const DWORD start = GetTickCount();
    Notification result;
    MSG msg{};
    for (;;) {
        if (PeekMessageA(&msg, window_, kNotifyMsg, kNotifyMsg, PM_REMOVE)) {
            result.end = WaitEnd::kPosted;
            result.status = static_cast<uint32_t>(msg.wParam);
            result.value = static_cast<uint32_t>(msg.lParam);
            return result;
        }
        if (Interrupted()) {
            result.end = WaitEnd::kInterrupted;
            return result;
        }
        if (GetTickCount() - start >= timeoutMs) {
            result.end = WaitEnd::kTimedOut;
            return result;
        }
        Sleep(1);
    }
}

bool Session::AwaitReply(int& exitCode) const {
    std::string why;
    if (AwaitReply(exitCode, why)) {
        return true;
    }
    std::fprintf(stderr, "ksym: %s\n", why.c_str());
    return false;
}

bool Session::AwaitReply(int& exitCode, std::string& why) const {
    const Notification note = Wait();
    if (note.end == WaitEnd::kPosted && note.status == COMM_MESSAGEREADY) {
        return true;
    }
    if (note.end == WaitEnd::kPosted && note.status == COMM_FATALERROR) {
        why = "the exchange with the controller failed";
        exitCode = kExitExchangeFailed;
    } else if (note.end == WaitEnd::kPosted && note.status != COMM_TIMEOUT) {
        why = "unexpected notification " + std::to_string(note.status) + " (" +
              std::to_string(note.value) + ") from the channel";
        exitCode = kExitExchangeFailed;
    } else {
        why = kNoAnswer;
        exitCode = kExitNoAnswer;
    }
    return false;
}

} // namespace ksymtool
