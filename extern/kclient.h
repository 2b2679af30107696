/* KClient: the communication client library.
 *
 * KSymbol reaches the client library only through this header. The client owns the
 * numbered channels, the transport of telegrams to the controller, the per-channel queue
 * of reply statuses, the per-thread last-error cell and the debug output.
 *
 * Threads: every function may be called from any thread. KClientWrite, KClientRead,
 * KClientSetLastError and KClientDllKDebugOut may run at the same moment on the same
 * channel (a caller's thread and the channel's notification thread). Replies always arrive
 * on a transport thread, never on the caller's: the transport appends (status, value,
 * reply bytes) to the channel's queue and signals the channel's event; waking up coalesces,
 * so KClientGetReplyStatus signals the event again while further entries wait.
 *
 * Compiles as C99 and as C++. */
#ifndef KSYM_EXTERN_KCLIENT_H
#define KSYM_EXTERN_KCLIENT_H

#include <stdint.h>

#include "platform/win32.h"

#if defined(KCLIENT_BUILDING) && defined(KCLIENT_USING)
#error "KCLIENT_BUILDING and KCLIENT_USING exclude each other"
#endif
#ifdef _WIN32
#ifdef KCLIENT_BUILDING
#define KCLIENT_API __declspec(dllexport)
#else
#define KCLIENT_API __declspec(dllimport)
#endif
#define KCLIENT_CALL __cdecl
#else
#ifdef KCLIENT_BUILDING
#define KCLIENT_API __attribute__((visibility("default")))
#else
#define KCLIENT_API
#endif
#define KCLIENT_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Reply statuses of KClientGetReplyStatus. */
#define COMM_NOSTATUS 0     /* nothing was waiting (the event was signalled by someone else) */
#define COMM_FATALERROR 1   /* the exchange failed; the value carries the client's error code */
#define COMM_MESSAGEREADY 2 /* a reply is ready; the value is its length in bytes */
#define COMM_TIMEOUT 5      /* the station did not answer in time */

/* The client library's own last-error codes. They never collide with the codes that
 * KSymbol records (0, 18, 19, 20, 28, 29, 31, 32, 35). */
#define KCLIENT_ERR_INVALID_ARGUMENT 2 /* a null buffer, a bad setting index */
#define KCLIENT_ERR_NO_CHANNEL 3       /* the channel number is not open */
#define KCLIENT_ERR_BAD_STATION                                                                    \
    4                          /* the station address is malformed or names an                     \
                                  unknown option */
#define KCLIENT_ERR_CONNECT 5  /* the station cannot be reached */
#define KCLIENT_ERR_TOO_MANY 6 /* all channel numbers are in use */
#define KCLIENT_ERR_NO_REPLY 7 /* no reply is waiting to be read */
#define KCLIENT_ERR_SEND 8     /* the telegram could not be sent */
#define KCLIENT_ERR_NO_MEMORY 9

/* Settings of KClientGetDWord. */
#define KCLIENT_DWORD_SWAP 3       /* 1 when the station's byte order differs from the host's */
#define KCLIENT_DWORD_BLOCK_SIZE 4 /* the station's block size in bytes, 0 when it has none */

/* Opens a channel to the station named by `station` (null: the embedded simulator).
 * reopenChannel 0 opens a new channel; the number of an open channel moves that channel,
 * its connection and its waiting replies to a new number (the old number is closed).
 * The event (auto-reset) is signalled whenever a reply status is ready; it stays the
 * caller's. Returns the channel number, never -1 or 0 for an open channel, unique among
 * the open channels; -1 on failure with the last error set. */
KCLIENT_API int32_t KCLIENT_CALL KClientOpenChannelEx(const char* station, int32_t reopenChannel,
                                                      HWND hNotifyWnd, UINT uNotifyMsg,
                                                      HANDLE event);
/* As KClientOpenChannelEx for a new channel. connectTimeoutMs bounds how long a network
 * transport may take to connect (0: the default of 5000 ms); flags must be 0. */
KCLIENT_API int32_t KCLIENT_CALL KClientKOpenChannelEx(const char* station,
                                                       int32_t connectTimeoutMs, int32_t flags,
                                                       HWND hNotifyWnd, UINT uNotifyMsg,
                                                       HANDLE event);
/* Closes the channel; replies still on their way are dropped. 1, or 0 for an unknown
 * channel. */
KCLIENT_API int32_t KCLIENT_CALL KClientCloseChannel(int32_t channel);
/* Sends a telegram; returns the bytes accepted (the whole length, or 0). The buffer may be
 * reused as soon as the call returns. */
KCLIENT_API int32_t KCLIENT_CALL KClientWrite(int32_t channel, const void* telegram,
                                              uint32_t length);
/* Copies up to capacity bytes of the current reply; returns the bytes copied (0 when none). */
KCLIENT_API int32_t KCLIENT_CALL KClientRead(int32_t channel, void* buffer, uint32_t capacity);
/* Length of the current reply, 0 when none. */
KCLIENT_API uint32_t KCLIENT_CALL KClientDllKGetDataSize(int32_t channel);
/* Takes the oldest waiting status; for COMM_MESSAGEREADY its bytes become the current reply.
 * *value receives the status's value. COMM_NOSTATUS when nothing waits. */
KCLIENT_API int32_t KCLIENT_CALL KClientGetReplyStatus(int32_t channel, uint32_t* value);
KCLIENT_API uint32_t KCLIENT_CALL KClientGetDWord(int32_t channel, int32_t index);
/* Copies the station's project file name, NUL-terminated; nonzero on success. */
KCLIENT_API int32_t KCLIENT_CALL KClientGetProjectName(int32_t channel, char* buffer,
                                                       uint32_t capacity);
/* The last-error cell is per thread. */
KCLIENT_API void KCLIENT_CALL KClientSetLastError(int32_t code);
KCLIENT_API int32_t KCLIENT_CALL KClientGetLastError(void);
/* A text that explains the calling thread's last failed open ("" when none); valid until the
 * thread's next open. */
KCLIENT_API const char* KCLIENT_CALL KClientGetErrorText(void);
/* Writes one debug line (printf format; %ld takes a long, %d an int) when debug output is
 * on: KSYM_DEBUG=stderr, or KSYM_DEBUG=PATH to append to a file. */
KCLIENT_API void KCLIENT_CALL KClientDllKDebugOut(int32_t channel, const char* format, ...);
/* Sends the debug lines to "stderr", to a file PATH (appended), or nowhere (null or "").
 * Overrides KSYM_DEBUG. */
KCLIENT_API void KCLIENT_CALL KClientSetDebugTarget(const char* target);

#ifdef __cplusplus
}
#endif

#endif /* KSYM_EXTERN_KCLIENT_H */
