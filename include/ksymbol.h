/* KSymbol: symbolic access to the variables of a programmable logic controller.
 *
 * A caller opens a channel (KSymOpenChannel and its variants), names a window and a
 * message number for notifications, and later closes the channel with KSymCloseChannel.
 * Requests are sent on the caller's thread; replies arrive on the channel's notification
 * thread, which posts uNotifyMsg to hNotifyWnd with wParam = the reply status
 * (COMM_MESSAGEREADY, COMM_FATALERROR or another status of the client library) and lParam
 * = its value (never 0). Every request ends in exactly one such message, whatever deletion
 * or re-open runs beside it; a closed channel posts nothing more. Failures are reported by
 * the result, and the reason is recorded in the client library's last-error cell
 * (KClientGetLastError), see the KSYM_ERR_ codes.
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
/* Memory (or another resource of the process) ran out inside a call: the call failed with
 * its failure result and changed nothing the caller can see. Every function but
 * KSymCloseChannel may record it; no exception ever leaves the library. From a ...Result
 * function it means the reply could not be taken in, so the request's outcome is unknown. */
#define KSYM_ERR_NO_MEMORY 18
#define KSYM_ERR_NO_SYMBOLS 19   /* no context; symbols not obtained; unknown name; closed */
#define KSYM_ERR_NULL_VARLIST 20 /* the hVarList argument is null */
/* A read is still in progress on the channel, or the answer to the telegram of a read that
 * was ended early is still on its way (for at most 5000 ms): replies carry no request
 * number, so no new read may begin before it, or it would take that answer for its own. */
#define KSYM_ERR_READ_PENDING 28
#define KSYM_ERR_MULTI_TELEGRAM 29 /* the list to be written needs several telegrams */
#define KSYM_ERR_TOO_BIG_READ 31   /* a variable does not fit one reply telegram */
#define KSYM_ERR_TOO_BIG_WRITE 32  /* a variable (or the list) does not fit one write */
#define KSYM_ERR_NO_THREAD 35      /* the notification thread (or its event) could not be made */

/* ---- Channel numbers and notifications ---- */
/* The reopen argument of KSymOpenChannelEx: this base plus the number of an open channel. */
#define KSYM_REOPEN_BASE 0x10000000
/* The lParam of COMM_MESSAGEREADY that announces a complete read of a list of `count`
 * variables (the reply of another request carries its length instead). */
#define KSYM_READ_COMPLETE(count) (10u * (uint32_t)(count) + 6u)

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
/* The library's version word: its four version components, one byte each, most significant
 * first (1.0.0.11 is 0x0100000B). Records nothing. */
KSYM_API uint32_t KSYM_CALL KSymVersion(void);

/* ---- Channels ---- */
/* Opens a channel to the station `first` names (passed unchanged to KClientOpenChannelEx;
 * null: the embedded simulator) and starts its notification thread, above normal priority.
 * reopen 0 opens a new channel; 0x10000000 + the number of an open channel re-opens it
 * under a new number that the client library issues (its context, symbols, window and
 * thread carry on; a read in progress is abandoned and ends in its one message, and replies
 * on their way move to the new number). blockSize is the largest telegram in
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
 * Waits up to 5000 ms for the thread to acknowledge; a thread that is still busy then (for
 * example with a reply for a list whose lock the caller holds) finishes on its own, posts
 * nothing and ends, and the library's record of the channel goes with it. The channel's
 * event is closed after the client library closed the channel. A symbol load of this
 * channel on another thread ends and fails with KSYM_ERR_NO_SYMBOLS, handing out nothing.
 * The channel number and the symbols handed out are invalid afterwards; lists of the
 * channel stay valid handles that only count, lock and delete (sending or writing them
 * records KSYM_ERR_NO_SYMBOLS). Records nothing. */
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
 * KSYM_ERR_NO_SYMBOLS (outputs untouched; also when the channel is closed on another thread
 * during the load). Blocks up to 5 s plus 60 s for the station;
 * needs a channel opened through one of the open functions. `swap` is stored as the
 * channel's byte-order flag. */
KSYM_API int32_t KSYM_CALL KSymLoadSymbolsEx(int32_t channel, const char* prefix,
                                             SymbolEntry*** symbolsOut, int32_t* countOut,
                                             int32_t swap);
/* Releases the channel's symbol table and project record; the channel stays open. Returns
 * 1, or 0 when the library has no context for the channel (records nothing then; 0 with
 * KSYM_ERR_NO_MEMORY only should a resource of the process fail). */
KSYM_API int32_t KSYM_CALL KSymDeleteSymbols(int32_t channel);

/* ---- Variable lists ---- */
/* A variable list: the handle is the address of the library's record. */
typedef void* HVARLIST;

/* What KSymDefineVarListByDesc reads of a caller's descriptor: its first member, the
 * variable's name. A caller's own descriptor may carry more members after it. */
typedef struct KSymVarDesc {
    const char* name;
} KSymVarDesc;

/* Defines a list of `count` variables of the channel, each named by a symbol of the
 * channel's loaded symbol table or by an IEC direct address: %, the area (M, I or Q), an
 * optional size (B, W, D or X for a bit) and a number counting elements of that size
 * (%MW4 is the word at byte 8); a bit address ends with a bit number 0 to 15 (%IX1.2). A
 * direct address wins over a symbol of the same name. The variables are packed, in list
 * order, into as many read telegrams as the channel's block size needs; no telegram is
 * longer than 2^31 - 1 bytes, whatever the block size. `names` holds `count` names, used
 * only during the call; the definition stops at the first one that fails. Returns the
 * list, or null: KSYM_ERR_NO_SYMBOLS (no context, no symbols loaded, or a name that is
 * neither), KSYM_ERR_TOO_BIG_READ or KSYM_ERR_TOO_BIG_WRITE (a variable too big for the
 * block size or for 2^31 - 1 bytes), KSYM_ERR_NO_MEMORY. Records 0 on success. */
KSYM_API HVARLIST KSYM_CALL KSymDefineVarList(int32_t channel, const char* const* names,
                                              uint32_t count);
/* KSymDefineVarList with the names that the descriptors' first members point to. */
KSYM_API HVARLIST KSYM_CALL KSymDefineVarListByDesc(int32_t channel,
                                                    const KSymVarDesc* const* descriptors,
                                                    uint32_t count);
/* Withdraws the list from its channel, ends any read in progress on the channel and makes
 * the handle invalid; waits for nothing. The ended read still ends in one message: its
 * completion when its reply was being taken in, else the answer to its telegram on the wire
 * when that arrives (COMM_MESSAGEREADY with the reply's length, or COMM_FATALERROR); until
 * then KSymSendVarList refuses with KSYM_ERR_READ_PENDING. A reply step that is running on
 * the list finishes first and sends nothing more; the list's memory goes when the last of
 * them lets go.
 * Deleting a list whose lock this thread holds (KSymEnterVarListAccess) gives those holds up
 * too: do not call KSymLeaveVarListAccess for it afterwards. Another thread that holds the
 * list's lock keeps the list alive until its KSymLeaveVarListAccess. Returns 1, or 0 with
 * KSYM_ERR_NULL_VARLIST. */
KSYM_API int32_t KSYM_CALL KSymDeleteVarList(int32_t channel, HVARLIST hVarList);
/* The number of variables, or 0 with KSYM_ERR_NULL_VARLIST. */
KSYM_API uint32_t KSYM_CALL KSymGetNumOfVars(int32_t channel, HVARLIST hVarList);
/* Enter and leave the list's lock (re-entrant), so that the values a reply step stores are
 * read as one consistent set. While a thread holds it, the list's reply waits, and with it
 * every other reply of the channel: hold it briefly. Each leave must be on the thread of
 * its enter; a leave without an enter of the same thread is ignored. A null handle is
 * ignored; the channel is not used. */
KSYM_API void KSYM_CALL KSymEnterVarListAccess(int32_t channel, HVARLIST hVarList);
KSYM_API void KSYM_CALL KSymLeaveVarListAccess(int32_t channel, HVARLIST hVarList);

/* ---- Reading ---- */
/* Starts a read of the list's values: sends its first telegram; the notification thread
 * sends the others as the replies come in and then posts COMM_MESSAGEREADY with lParam
 * 10 x count + 6. Returns 1 when the first telegram was sent, else 0: KSYM_ERR_NULL_VARLIST,
 * KSYM_ERR_READ_PENDING (a read of any list is in progress on the channel, or an ended read's
 * answer is still on its way), KSYM_ERR_NO_SYMBOLS (the list's channel was closed), or the
 * client library refused the telegram (the channel then refuses reads until a list of it is
 * deleted). `channel` must be the channel the list was defined on. */
KSYM_API int32_t KSYM_CALL KSymSendVarList(int32_t channel, HVARLIST hVarList);
/* Hands out the list's value records, in list order, and the number of values the current
 * read has taken in. Call it once the read is complete, between KSymEnterVarListAccess and
 * KSymLeaveVarListAccess. The records stay the list's and are overwritten by later reads;
 * a record's replyWord and data mean something only while its valid byte is 1. The array
 * is never null on success, also for a list of no variables. Returns 1, or 0 with
 * KSYM_ERR_NULL_VARLIST (then *values is null and *count 0). */
KSYM_API int32_t KSYM_CALL KSymGetValues(int32_t channel, HVARLIST hVarList, VarValue*** values,
                                         uint32_t* count);

/* ---- Writing ---- */
/* Writes new values to the list's variables in one telegram: buffers[i] holds variable i's
 * value in host byte order, as many bytes as the variable is long (1 for a bit). The
 * controller's answer is announced by COMM_MESSAGEREADY; read it with KSymWriteResult.
 * Returns 1 when the telegram was sent, else 0: KSYM_ERR_NULL_VARLIST,
 * KSYM_ERR_MULTI_TELEGRAM (the list needs more than one telegram), KSYM_ERR_READ_PENDING,
 * KSYM_ERR_NO_SYMBOLS (the list's channel was closed), KCLIENT_ERR_INVALID_ARGUMENT (2: buffers
 * or one of its entries is null), or the client library's code when it refused the telegram. */
KSYM_API int32_t KSYM_CALL KSymWriteVarList(int32_t channel, HVARLIST hVarList,
                                            const void* const* buffers);
/* Defines a list of the named variables, writes it as KSymWriteVarList and deletes it.
 * Records KSymDefineVarList's codes, or KSYM_ERR_TOO_BIG_WRITE when the variables need more
 * than one telegram. */
KSYM_API int32_t KSYM_CALL KSymWriteVars(int32_t channel, const char* const* names, uint32_t count,
                                         const void* const* buffers);
/* Reads the controller's answer to a write: 1 when it accepted the write, else 0
 * (KSYM_ERR_NO_SYMBOLS when the library has no context for the channel). */
KSYM_API int32_t KSYM_CALL KSymWriteResult(int32_t channel);

/* ---- Project identity, login and logout ---- */
/* Each request is answered later: the notification thread posts COMM_MESSAGEREADY with the
 * reply's length, and the caller then calls the matching ...Result function. Keep at most
 * one request outstanding on a channel, and send none while a read or a symbol load is in
 * progress on it. Every function records KSYM_ERR_NO_SYMBOLS when the library has no
 * context for the channel, else 0. */
/* The project identifier of the channel's loaded symbol table (0 when none is loaded). */
KSYM_API int32_t KSYM_CALL KSymGetProjectId(int32_t channel);
/* The channel's project identification record, as last read by KSymPLCProjectIdResult;
 * null when the library has no context for the channel. The texts may be null after a
 * short reply or KSymDeleteSymbols. */
KSYM_API ProjectInfo* KSYM_CALL KSymGetProjectInfo(int32_t channel);
/* Asks the controller for its project identification. 1 when the request was sent. */
KSYM_API int32_t KSYM_CALL KSymPLCProjectId(int32_t channel);
/* Reads the answer into the channel's project record and stores the controller's project
 * identifier in *projectId (required). 1 when a reply of at least 5 bytes was taken in. */
KSYM_API int32_t KSYM_CALL KSymPLCProjectIdResult(int32_t channel, uint32_t* projectId);
/* Logs in to the controller. 1 when the request was sent. */
KSYM_API int32_t KSYM_CALL KSymLogin(int32_t channel);
/* 1 when the controller accepted the login (status 1000). */
KSYM_API int32_t KSYM_CALL KSymLoginResult(int32_t channel);
/* Logs out. 1 when the request was sent. */
KSYM_API int32_t KSYM_CALL KSymLogout(int32_t channel);
/* 1 when the controller accepted the logout (status 0). */
KSYM_API int32_t KSYM_CALL KSymLogoutResult(int32_t channel);

/* ---- Reserved entry points ---- */
/* They accept any arguments, read none, send nothing, record nothing and return 0. */
KSYM_API int32_t KSYM_CALL KSymStart(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymStartResult(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymStop(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymStopResult(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymReset(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymResetResult(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymResetCold(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymResetColdResult(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymResetOrigin(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymResetOriginResult(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymDefineODList(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymDefineODListByFile(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymDeleteODList(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymODResult(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymODCreate(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymODDelete(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymODQuery(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymODRead(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymODWrite(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymBuildODCSV(int32_t channel, ...);
KSYM_API int32_t KSYM_CALL KSymBuildODCSVFile(int32_t channel, ...);

#ifdef __cplusplus
}
#endif

#endif /* KSYM_KSYMBOL_H */
