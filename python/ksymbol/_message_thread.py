"""The thread that owns a channel's message window and hands its notifications to a queue."""

import ctypes
import queue
import threading

from . import _native as N

# The message number the library posts its notifications with, and the one that tells a
# channel's message thread to end.
NOTIFY_MSG = N.WM_USER + 1
STOP_MSG = N.WM_USER + 2


class MessageThread(threading.Thread):
    """Owns the channel's message window and hands its notifications to a queue.

    The library posts to a window, and a window's messages queue on the thread that created
    it. This thread creates the window and takes its messages, so that any thread of the
    program can wait for them on the queue."""

    def __init__(self, native):
        super().__init__(name="ksymbol-messages", daemon=True)
        self._native = native
        self.window = None
        self.messages = queue.Queue()
        self._ready = threading.Event()

    def run(self):
        n = self._native
        self.window = n.CreateWindowExA(0, b"STATIC", b"ksymbol", 0, 0, 0, 0, 0,
                                        N.HWND_MESSAGE, None, None, None)
        self._ready.set()
        if not self.window:
            return
        msg = N.MSG()
        try:
            while n.GetMessageA(ctypes.byref(msg), self.window, NOTIFY_MSG, STOP_MSG) > 0:
                if msg.message == STOP_MSG:
                    break
                self.messages.put((int(msg.wParam), int(msg.lParam)))
        finally:
            n.DestroyWindow(self.window)

    def start_window(self):
        self.start()
        self._ready.wait()
        return self.window

    def stop(self):
        if self.window and self.is_alive():
            self._native.PostMessageA(self.window, STOP_MSG, 0, 0)
            self.join(5.0)
