// Message-only windows and the message queue of each thread.
//
// A window belongs to the thread that created it and posts into that thread's queue. The
// queue is shared by the thread and its windows, so posting to a window whose thread has
// ended still works: the messages wait in the queue until the window is destroyed.
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/c_boundary.h"
#include "platform/handle_table.h"
#include "platform/last_error.h"

namespace kplatform {

namespace {

// As on Windows, a queue takes at most this many posted messages.
constexpr std::size_t kQueueLimit = 10000;

// Thread messages only, as a window filter of GetMessageA and PeekMessageA.
HWND const kThreadMessages = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

class Queue {
public:
    // Guards everything below and the `destroyed` flag of the queue's windows.
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<MSG> messages;
    bool quit = false; // PostQuitMessage was called; WM_QUIT comes when nothing else does
    int exit_code = 0;
};

class Window : public Object {
public:
    Window(DWORD owner_thread, std::shared_ptr<Queue> its_queue)
        : owner(owner_thread), queue(std::move(its_queue)) {}
    const DWORD owner;
    const std::shared_ptr<Queue> queue;
    bool destroyed = false; // under queue->mutex
};

HandleTable& windows() {
    static HandleTable* const table = new HandleTable;
    return *table;
}

thread_local std::shared_ptr<Queue> t_queue;

Queue& own_queue() {
    if (!t_queue)
        t_queue = std::make_shared<Queue>();
    return *t_queue;
}

std::shared_ptr<Window> find_window(HWND window) {
    return windows().find_as<Window>(handle_value(window));
}

bool in_range(UINT message, UINT first, UINT last) {
    return (first == 0 && last == 0) || (message >= first && message <= last);
}

// Checks the window filter: a window of the calling thread, null or kThreadMessages.
bool valid_filter(HWND window) {
    if (!window || window == kThreadMessages)
        return true;
    std::shared_ptr<Window> object = find_window(window);
    return object && object->owner == GetCurrentThreadId();
}

enum class Found { Nothing, Message, Quit };

// Takes (or, unless `remove`, copies) the first message that passes the filters; WM_QUIT
// from PostQuitMessage once no such message is left. Call with queue.mutex held.
Found take(Queue& queue, MSG& out, HWND window, UINT first, UINT last, bool remove) {
    for (auto it = queue.messages.begin(); it != queue.messages.end(); ++it) {
        const bool of_window =
            !window || (window == kThreadMessages ? it->hwnd == nullptr : it->hwnd == window);
        if (of_window && in_range(it->message, first, last)) {
            out = *it;
            if (remove)
                queue.messages.erase(it);
            return Found::Message;
        }
    }
    if (queue.quit) {
        out = MSG{};
        out.message = WM_QUIT;
        out.wParam = static_cast<WPARAM>(queue.exit_code);
        out.time = GetTickCount();
        if (remove)
            queue.quit = false;
        return Found::Quit;
    }
    return Found::Nothing;
}

} // namespace

} // namespace kplatform

using namespace kplatform;

extern "C" {

KPLATFORM_API HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style,
                                   int x, int y, int width, int height, HWND parent, HMENU menu,
                                   HINSTANCE instance, LPVOID parameter) {
    // Only message-only windows are made; whatever the parent, nothing is shown.
    (void)exStyle, (void)className, (void)windowName, (void)style, (void)x, (void)y;
    (void)width, (void)height, (void)parent, (void)menu, (void)instance, (void)parameter;
    return guarded<HWND>(nullptr, [&]() -> HWND {
        own_queue();
        auto window = std::make_shared<Window>(GetCurrentThreadId(), t_queue);
        return reinterpret_cast<HWND>(windows().insert(std::move(window)));
    });
}

KPLATFORM_API BOOL DestroyWindow(HWND window) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<Window> object = find_window(window);
        if (!object) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (object->owner != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (!windows().remove(handle_value(window))) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        // A post that found the window before it left the table sees `destroyed` and fails;
        // one that came earlier has its message dropped here.
        Queue& queue = *object->queue;
        std::lock_guard<std::mutex> lock(queue.mutex);
        object->destroyed = true;
        for (auto it = queue.messages.begin(); it != queue.messages.end();)
            it = it->hwnd == window ? queue.messages.erase(it) : std::next(it);
        return TRUE;
    });
}

KPLATFORM_API BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<Window> object = find_window(window);
        if (!object) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        MSG posted{};
        posted.hwnd = window;
        posted.message = message;
        posted.wParam = wParam;
        posted.lParam = lParam;
        posted.time = GetTickCount();
        Queue& queue = *object->queue;
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            if (object->destroyed) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return FALSE;
            }
            if (queue.messages.size() >= kQueueLimit) {
                SetLastError(kErrorNotEnoughQuota);
                return FALSE;
            }
            queue.messages.push_back(posted);
        }
        // Every waiter, since each may filter for other messages than this one.
        queue.arrived.notify_all();
        return TRUE;
    });
}

KPLATFORM_API void PostQuitMessage(int exitCode) {
    try {
        Queue& queue = own_queue();
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.quit = true;
        queue.exit_code = exitCode;
        // Only the calling thread reads its queue, and it is not waiting now.
    } catch (...) {
        SetLastError(error_from_exception());
    }
}

KPLATFORM_API BOOL GetMessageA(LPMSG message, HWND window, UINT first, UINT last) {
    return guarded<BOOL>(-1, [&]() -> BOOL {
        if (!message) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return -1;
        }
        if (!valid_filter(window)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
        Queue& queue = own_queue();
        std::unique_lock<std::mutex> lock(queue.mutex);
        for (;;) {
            const Found found = take(queue, *message, window, first, last, true);
            if (found == Found::Quit)
                return 0;
            if (found == Found::Message)
                return message->message == WM_QUIT ? 0 : 1;
            queue.arrived.wait(lock);
        }
    });
}

KPLATFORM_API BOOL PeekMessageA(LPMSG message, HWND window, UINT first, UINT last, UINT remove) {
    return guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!message) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!valid_filter(window)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        Queue& queue = own_queue();
        std::lock_guard<std::mutex> lock(queue.mutex);
        return take(queue, *message, window, first, last, (remove & PM_REMOVE) != 0) !=
                       Found::Nothing
                   ? TRUE
                   : FALSE;
    });
}

} // extern "C"
