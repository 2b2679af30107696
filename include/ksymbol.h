/* KSymbol: symbolic access to the variables of a programmable logic controller.
 *
 * A caller opens a channel (KSymOpenChannel and its variants), names a window and a
 * message number for notifications, and later closes the channel with KSymCloseChannel.
 * Requests are sent on the caller's thread; replies arrive on the channel's notification
 * thread, which posts uNotifyMsg to hNotifyWnd with wParam = the reply status
 * (COMM_MESSAGEREADY, COMM_FATALERROR or another status of the client library) and lParam
 * = its value. Failures are reported by the result, and the reason is recorded in the
 * client library's last-error cell (KClientGetLastError), see the KSYM_ERR_ codes.
 *
 * Every function uses the C calling convention and 32-bit arguments and results (handles
 * and pointers are pointer-sized). This header compiles as C99 and as C++.
 *
 * Threads: open, close, load and delete the symbols of one channel from one thread at a
 * time. Close every channel before the library is unloaded. */
#ifndef KSYM_KSYMBOL_H
#define KSYM_KSYMBOL_H

#include <stdint.h>

#include "platform/win32.h"

#if defined(KSYMBOL_BUILDING) && defined(KSYMBOL_USING)
#error "KSYMBOL_BUILDING and KSYMBOL_USING exclude each other"
#endif
#ifdef _WIN32
#ifdef KSYMBOL_BUILDING
/* Exports come from ksymbol.def, so that the names stay undecorated. */
#define KSYM_API
#else
#define KSYM_API __declspec(dllimport)
#endif
#define KSYM_CALL __cdecl
#else
#ifdef KSYMBOL_BUILDING
#define KSYM_API __attribute__((visibility("default")))
#else
#define KSYM_API
#endif
#define KSYM_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Error codes recorded in the client library's last-error cell ---- */
#define KSYM_ERR_NONE 0
#define KSYM_ERR_NO_CONTEXT_SPACE 18 /* no channel context could be made (200 in use) */
#define KSYM_ERR_NO_SYMBOLS 19       /* no context; symbols not obtained; unknown name */
#define KSYM_ERR_NULL_VARLIST 20     /* the hVarList argument is null */
#define KSYM_ERR_READ_PENDING 28     /* a read is still in progress on the channel */
#define KSYM_ERR_MULTI_TELEGRAM 29   /* the list to be written needs several telegrams */
#define KSYM_ERR_TOO_BIG_READ 31     /* a variable does not fit one reply telegram */
#define KSYM_ERR_TOO_BIG_WRITE 32    /* a variable (or the list) does not fit one write */
#define KSYM_ERR_NO_THREAD 35        /* the notification thread could not be started */

/* ---- Notification codes in the posted message's wParam ---- */
#ifndef COMM_FATALERROR
#define COMM_FATALERROR 1   /* the exchange failed; nothing is to be fetched */
#define COMM_MESSAGEREADY 2 /* a read is complete, or a reply can be fetched */
#endif

/* ---- Records that callers read in place ---- */
#if defined(_MSC_VER)
#pragma pack(push, 1)
#define KSYM_PACKED
#else
#define KSYM_PACKED __attribute__((packed))
#endif

/* One symbol of the controller project. 20 bytes on 32-bit Windows, byte-packed: `offset`
 * begins at byte 10. Owned by the library; valid until the channel's symbols are loaded
 * again or deleted, or the channel is closed. */
typedef struct KSYM_PACKED SymbolEntry {
    char* name;      /* zero-terminated */
    char* typeName;  /* zero-terminated; "DATA" for data blocks, "NONE" for a placeholder */
    uint16_t area;   /* controller memory area */
    uint32_t offset; /* byte offset in the area */
    uint32_t size;   /* size in bytes */
    uint8_t tag[2];  /* copied unchanged from the symbol file */
} SymbolEntry;

/* One value of a variable list: replyWord at byte 0, valid at byte 4, the value from byte
 * 5 on (as many bytes as the variable is long, 1 for a bit), in host byte order. */
typedef struct KSYM_PACKED VarValue {
    uint32_t replyWord; /* the reply header word that delivered the value, host order */
    uint8_t valid;      /* 1 when the last reply delivered the value */
    uint8_t data[1];    /* the value; the record is allocated as long as it needs */
} VarValue;

#if defined(_MSC_VER)
#pragma pack(pop)
#endif

/* The controller's project identification, as last read by KSymPLCProjectIdResult. Owned by
 * the library; valid until the channel is closed, its texts until the record is refilled. */
typedef struct ProjectInfo {
    uint32_t infoProjectId;
    uint32_t infoNumber;
    char* infoText1;
    char* infoText2;
    char* infoText3;
    char* infoText4;
    char* infoText5;
} ProjectInfo;

/* ---- Version ---- */
/* The library's version word, 0x0100000B (1.0.0.11). Records nothing. */
KSYM_API uint32_t KSYM_CALL KSymVersion(void);

/* ---- Channels ---- */
/* Opens a channel to the station `first` names (passed unchanged to KClientOpenChannelEx;
 * null: the embedded simulator) and starts its notification thread, above normal priority.
 * reopen 0 opens a new channel; 0x10000000 + the number of an open channel re-opens it
 * under a new number that the client library issues (its context, symbols, window and
 * thread carry on; a read in progress is abandoned). blockSize is the largest telegram in
 * bytes; 0 takes the station's, and when it has none there is no limit.
 * Returns the channel number, or -1: the client library's error code stands, or
 * KSYM_ERR_NO_CONTEXT_SPACE, or KSYM_ERR_NO_THREAD; a re-open of a channel the library does
 * not know records KSYM_ERR_NO_SYMBOLS. */
KSYM_API int32_t KSYM_CALL KSymOpenChannelEx(const char* first, int32_t reopen, HWND hNotifyWnd,
                                             UINT uNotifyMsg, uint32_t blockSize);
/* KSymOpenChannelEx with blockSize 0. */
KSYM_API int32_t KSYM_CALL KSymOpenChannel(const char* first, int32_t reopen, HWND hNotifyWnd,
                                           UINT uNotifyMsg);
/* Opens a new channel through KClientKOpenChannelEx, which receives first, second and third
 * unchanged; the notification thread runs at normal priority. Results as KSymOpenChannelEx. */
KSYM_API int32_t KSYM_CALL KSymKOpenChannelEx(const char* first, int32_t second, int32_t third,
                                              HWND hNotifyWnd, UINT uNotifyMsg, uint32_t blockSize);
/* KSymKOpenChannelEx with blockSize 0. */
KSYM_API int32_t KSYM_CALL KSymKOpenChannel(const char* first, int32_t second, int32_t third,
                                            HWND hNotifyWnd, UINT uNotifyMsg);
/* Ends the channel's notification thread, releases the channel's symbols and project record
 * and closes the channel at the client library; returns what KClientCloseChannel returns.
 * Waits up to 5000 ms for the thread to acknowledge (and, should it be busy longer, until
 * it has ended). Records nothing. */
KSYM_API int32_t KSYM_CALL KSymCloseChannel(int32_t channel);

/* ---- Symbols ---- */
/* Loads the channel's symbol table with the station's byte order (the client library's
 * setting 3) and hands out the symbols whose names begin with `prefix`: see
 * KSymLoadSymbolsEx. */
KSYM_API int32_t KSYM_CALL KSymLoadSymbols(int32_t channel, const char* prefix,
                                           SymbolEntry*** symbolsOut, int32_t* countOut);
/* Loads the channel's symbol table: the local symbol file when the station confirms its
 * project identifier, else the file uploaded from the station first. On success stores in
 * *symbolsOut (when given) the array of pointers to the symbols whose names begin with
 * `prefix` (case-insensitively; null or "" selects all), in file order, and in *countOut
 * (when given) their number (0 when symbolsOut is null). Both stay owned by the library
 * and valid until the next load or KSymDeleteSymbols on the channel, or its closing.
 * Returns 1, or 0 with KSYM_ERR_NO_CONTEXT_SPACE (outputs set to null and 0) or
 * KSYM_ERR_NO_SYMBOLS (outputs untouched). Blocks up to 5 s plus 60 s for the station;
 * needs a channel opened through one of the open functions. `swap` is stored as the
 * channel's byte-order flag. */
KSYM_API int32_t KSYM_CALL KSymLoadSymbolsEx(int32_t channel, const char* prefix,
                                             SymbolEntry*** symbolsOut, int32_t* countOut,
                                             int32_t swap);
/* Releases the channel's symbol table and project record; the channel stays open. Returns
 * 1, or 0 when the library has no context for the channel (records nothing then). */
KSYM_API int32_t KSYM_CALL KSymDeleteSymbols(int32_t channel);

#ifdef __cplusplus
}
#endif

#endif /* KSYM_KSYMBOL_H */
