/* read_values: the road of a typical read through KSymbol, from opening a channel to
 * closing it, as a small C99 program.
 *
 *     read_values [STATION [NAME...]]
 *
 * STATION is a station address (default "sim", the embedded simulated controller; see
 * docs/guide/stations.md). The NAMEs are symbols of the station's project or direct
 * addresses (default: Line1.Station2.Motor1.ActualSpeed, Line1.Station1.Selector, %MW4).
 * Each variable is printed on one line, in the order given:
 *
 *     NAME = 01 2c            (the value's bytes in host byte order, in hexadecimal)
 *     NAME = (invalid)        (the controller delivered no value)
 *
 * The output depends only on the controller's memory, so two runs against the same station
 * can be compared line by line. Exit code 0 when every value was delivered, 1 when some
 * value was not, 2 on any failure (the library's last error code is printed to stderr). */
#include <stdint.h>
#include <stdio.h>

#include <extern/kclient.h> /* KClientGetLastError, KClientGetErrorText */
#include <ksymbol.h>        /* brings platform/win32.h: windows, messages, Sleep, GetTickCount */

/* The message number the library posts its notifications with. Any number from WM_USER on
 * will do; it only has to tell the library's messages apart from the program's own. */
#define NOTIFY_MSG (WM_USER + 1)
/* How long a read may take, from sending it to the announcement that it is complete. */
#define READ_TIMEOUT_MS 5000u
/* More names than this on the command line are refused (the example keeps fixed arrays). */
#define MAX_VARS 64

static const char* const kDefaultNames[] = {
    "Line1.Station2.Motor1.ActualSpeed", /* an INT symbol: 2 bytes */
    "Line1.Station1.Selector",           /* a BYTE symbol: 1 byte */
    "%MW4",                              /* the memory word at byte 8: 2 bytes */
};

/* Prints what failed and the reason the library recorded in the calling thread's last-error
 * cell: a KSYM_ERR_ code of ksymbol.h or a KCLIENT_ERR_ code of kclient.h. */
static void Fail(const char* what) {
    const int32_t code = KClientGetLastError();
    fprintf(stderr, "read_values: %s (last error %ld)\n", what, (long)code);
}

/* Letters of symbol names compare without regard to case, as the library compares them. */
static int SameNameIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a;
        char y = *b;
        if (x >= 'a' && x <= 'z') {
            x = (char)(x - 'a' + 'A');
        }
        if (y >= 'a' && y <= 'z') {
            y = (char)(y - 'a' + 'A');
        }
        if (x != y) {
            return 0;
        }
        if (x == '\0') {
            return 1;
        }
    }
}

/* The number of value bytes of a variable, which the value records do not carry: the
 * caller knows its variables. A direct address tells it by its size letter (%MB 1, %MW 2,
 * %MD 4; a bit, %MX1.2 or %M1.2, is delivered as one byte); a symbol by the size of its
 * SymbolEntry in the loaded table (the first of equal names, as the library picks it; a
 * placeholder of size 0 is read as one byte). The library itself takes a direct address
 * first, so the order here is the same. Returns 0 for a name that is neither;
 * KSymDefineVarList refuses such a name anyway. */
static uint32_t ValueSize(const char* name, SymbolEntry* const* symbols, int32_t count) {
    int32_t i;
    if (name[0] == '%' && (name[1] == 'M' || name[1] == 'I' || name[1] == 'Q')) {
        switch (name[2]) {
        case 'B':
            return 1;
        case 'W':
            return 2;
        case 'D':
            return 4;
        default:
            return 1;
        }
    }
    for (i = 0; i < count; ++i) {
        if (SameNameIgnoringCase(symbols[i]->name, name)) {
            /* SymbolEntry is byte-packed: read its members directly, never through a
             * pointer to them, which could be misaligned. */
            return symbols[i]->size != 0 ? symbols[i]->size : 1;
        }
    }
    return 0;
}

/* Waits, at most timeoutMs, for the announcement that the read of a list of varCount
 * variables is complete: wParam COMM_MESSAGEREADY with lParam 10 x varCount + 6. Returns 1
 * then, 0 on COMM_FATALERROR, another status (COMM_TIMEOUT: the station did not answer) or
 * when the time is up. A COMM_MESSAGEREADY with another lParam is not this read's (a late
 * answer to an earlier request) and is skipped. PeekMessageA does not block, so the loop
 * sleeps a millisecond between looks; the messages queue on the thread that created the
 * window, which must therefore be the thread that waits. */
static int WaitForRead(HWND window, uint32_t varCount, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    const LPARAM complete = (LPARAM)(10u * varCount + 6u);
    MSG msg;
    do {
        while (PeekMessageA(&msg, window, NOTIFY_MSG, NOTIFY_MSG, PM_REMOVE)) {
            if (msg.wParam == COMM_MESSAGEREADY && msg.lParam == complete) {
                return 1;
            }
            if (msg.wParam == COMM_FATALERROR) {
                fprintf(stderr, "read_values: the exchange with the controller failed\n");
                return 0;
            }
            if (msg.wParam != COMM_MESSAGEREADY) {
                fprintf(stderr, "read_values: the read ended with status %lu\n",
                        (unsigned long)msg.wParam);
                return 0;
            }
        }
        Sleep(1);
    } while (GetTickCount() - start < timeoutMs); /* unsigned: right across the counter's wrap */
    fprintf(stderr, "read_values: no answer within %lu ms\n", (unsigned long)timeoutMs);
    return 0;
}

int main(int argc, char** argv) {
    const char* station = argc > 1 ? argv[1] : "sim";
    const char* const* names = kDefaultNames;
    uint32_t nameCount = (uint32_t)(sizeof kDefaultNames / sizeof kDefaultNames[0]);
    uint32_t sizes[MAX_VARS];
    HWND window = NULL;
    int32_t channel = -1;
    HVARLIST list = NULL;
    SymbolEntry** symbols = NULL;
    int32_t symbolCount = 0;
    VarValue** values = NULL;
    uint32_t valueCount = 0;
    uint32_t i;
    int allValid = 1;
    int exitCode = 2;

    if (argc > 2) {
        names = (const char* const*)(argv + 2);
        nameCount = (uint32_t)(argc - 2);
    }
    if (nameCount > MAX_VARS) {
        fprintf(stderr, "read_values: at most %d names\n", MAX_VARS);
        return 2;
    }

    /* 1. A message-only window: the library posts its notifications to it. They queue on
     *    this thread, and this thread takes them out in WaitForRead. */
    window =
        CreateWindowExA(0, "STATIC", "read_values", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    if (window == NULL) {
        fprintf(stderr, "read_values: no message window\n");
        return 2;
    }

    /* 2. A new channel (reopen 0) to the station, notifying the window with NOTIFY_MSG. The
     *    library starts the channel's notification thread here. */
    channel = KSymOpenChannel(station, 0, window, NOTIFY_MSG);
    if (channel == -1) {
        Fail("the channel could not be opened");
        if (KClientGetErrorText()[0] != '\0') {
            fprintf(stderr, "read_values: %s\n", KClientGetErrorText());
        }
        DestroyWindow(window);
        return 2;
    }

    /* 3. The station's symbol table: the local symbol file when the station confirms its
     *    project, else uploaded from the station first. This call blocks until it is done.
     *    The array (all symbols: prefix null) stays the library's until the channel is
     *    closed, so it is used below without copying. */
    if (KSymLoadSymbols(channel, NULL, &symbols, &symbolCount) == 0) {
        Fail("the symbols could not be loaded");
        goto close_channel;
    }
    for (i = 0; i < nameCount; ++i) {
        sizes[i] = ValueSize(names[i], symbols, symbolCount);
    }

    /* 4. The variable list. The names are read only during the call. */
    list = KSymDefineVarList(channel, names, nameCount);
    if (list == NULL) {
        Fail("the variable list was refused (unknown name, or a variable too big)");
        goto close_channel;
    }

    /* 5. Start the read: the first telegram goes out on this thread; the notification
     *    thread sends the others as the replies come in, stores the values in the list and
     *    then posts COMM_MESSAGEREADY. */
    if (KSymSendVarList(channel, list) == 0) {
        Fail("the read could not be sent");
        goto delete_list;
    }
    if (!WaitForRead(window, nameCount, READ_TIMEOUT_MS)) {
        goto delete_list;
    }

    /* 6. Take the values under the list's lock, so that they are one consistent set. The
     *    records belong to the list; they are printed before the lock is left, since a
     *    later read would overwrite them. */
    KSymEnterVarListAccess(channel, list);
    if (KSymGetValues(channel, list, &values, &valueCount) == 0) {
        KSymLeaveVarListAccess(channel, list);
        Fail("the values could not be taken");
        goto delete_list;
    }
    for (i = 0; i < nameCount; ++i) {
        const VarValue* record = i < valueCount ? values[i] : NULL;
        uint32_t b;
        printf("%s =", names[i]);
        /* The data mean something only while the valid byte is 1. */
        if (record == NULL || record->valid != 1) {
            printf(" (invalid)\n");
            allValid = 0;
            continue;
        }
        for (b = 0; b < sizes[i]; ++b) {
            printf(" %02x", (unsigned)record->data[b]);
        }
        printf("\n");
    }
    KSymLeaveVarListAccess(channel, list);
    exitCode = allValid ? 0 : 1;

    /* 7. Clean up in the reverse order: the list, the channel (which ends its notification
     *    thread and releases its symbols), then the window. */
delete_list:
    if (KSymDeleteVarList(channel, list) == 0) {
        Fail("the variable list could not be deleted");
        exitCode = 2;
    }
close_channel:
    KSymCloseChannel(channel);
    DestroyWindow(window);
    return exitCode;
}
