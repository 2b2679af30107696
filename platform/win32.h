/* The Win32 services that KSymbol, KClient, KUtil and their callers use.
 *
 * On Windows this header only includes <windows.h> and <process.h>. On POSIX
 * hosts it declares the same names, signatures and return conventions, served
 * by libkplatform. Only what the modules use is here; every handle passed in
 * is checked, so a bad or closed handle makes the call fail, never crash.
 *
 * Compiles as C99 and as C++. */
#ifndef KSYM_PLATFORM_WIN32_H
#define KSYM_PLATFORM_WIN32_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <process.h>
#else /* POSIX */

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#if defined(KPLATFORM_BUILDING) && defined(KPLATFORM_USING)
#error "KPLATFORM_BUILDING and KPLATFORM_USING exclude each other"
#endif
#ifdef KPLATFORM_BUILDING
#define KPLATFORM_API __attribute__((visibility("default")))
#else
#define KPLATFORM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define CALLBACK
#define __stdcall
#define __cdecl

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef void* HANDLE;
typedef void* LPVOID;
typedef void* HINSTANCE;
typedef void* HMENU;
typedef struct HWND__* HWND;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef size_t SIZE_T;
typedef char CHAR;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef void* LPSECURITY_ATTRIBUTES;

#define TRUE 1
#define FALSE 0

/* ---- Errors of the last failed call, per thread ---- */
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
KPLATFORM_API DWORD GetLastError(void);
KPLATFORM_API void SetLastError(DWORD code);

/* ---- Handles, events, waits ---- */
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

KPLATFORM_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                  BOOL initialState, LPCSTR name);
KPLATFORM_API BOOL SetEvent(HANDLE event);
KPLATFORM_API BOOL ResetEvent(HANDLE event);
/* Events and thread handles can be waited on; a thread is signalled once it has ended. */
KPLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
KPLATFORM_API BOOL CloseHandle(HANDLE handle);
#define DUPLICATE_SAME_ACCESS 0x00000002u
/* Only the current process is known: both process handles must be GetCurrentProcess(). */
KPLATFORM_API HANDLE GetCurrentProcess(void);
KPLATFORM_API BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                                   HANDLE* target, DWORD access, BOOL inherit, DWORD options);

/* ---- Time ---- */
/* Milliseconds since the layer started, wrapping at 2^32 like the Windows counter. */
KPLATFORM_API DWORD GetTickCount(void);
KPLATFORM_API void Sleep(DWORD milliseconds);

/* ---- Critical sections (re-entrant locks) ---- */
/* The lock lives inside the record, as on Windows: initializing one allocates nothing and
 * cannot fail for want of memory. */
typedef struct CRITICAL_SECTION {
    pthread_mutex_t mutex; /* recursive; valid between Initialize and Delete */
} CRITICAL_SECTION, *LPCRITICAL_SECTION;
KPLATFORM_API void InitializeCriticalSection(LPCRITICAL_SECTION section);
KPLATFORM_API void EnterCriticalSection(LPCRITICAL_SECTION section);
KPLATFORM_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
KPLATFORM_API void LeaveCriticalSection(LPCRITICAL_SECTION section);
KPLATFORM_API void DeleteCriticalSection(LPCRITICAL_SECTION section);

/* ---- Threads ---- */
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
/* Returns the thread's handle (waitable, to be closed with CloseHandle), 0 on failure
 * with errno set. initFlag must be 0; stackSize is the thread's stack in bytes, 0 takes
 * 1 MiB (what a Windows program reserves by default). */
KPLATFORM_API uintptr_t _beginthreadex(void* security, unsigned stackSize,
                                       unsigned(__stdcall* start)(void*), void* argument,
                                       unsigned initFlag, unsigned* threadId);
/* Priorities are advisory on POSIX: a valid thread handle gives TRUE. */
KPLATFORM_API BOOL SetThreadPriority(HANDLE thread, int priority);
KPLATFORM_API DWORD GetCurrentThreadId(void);
KPLATFORM_API DWORD GetCurrentProcessId(void);

/* ---- Files and folders; paths in Windows form, '\' becomes '/' at the file system ---- */
#define MAX_PATH 260
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
KPLATFORM_API HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                                 LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                                 HANDLE templateFile);
KPLATFORM_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                            void* overlapped);
KPLATFORM_API BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, LPDWORD written,
                             void* overlapped);
KPLATFORM_API DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
KPLATFORM_API DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
/* $KSYM_ROOT/windows; returns the length without the NUL, or the size needed with it. */
KPLATFORM_API UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
/* Creates the last level only; an existing folder fails with ERROR_ALREADY_EXISTS. */
KPLATFORM_API BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES attributes);
KPLATFORM_API BOOL DeleteFileA(LPCSTR path);
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
/* Renames a file; with MOVEFILE_REPLACE_EXISTING an existing target is replaced in one step
 * (a reader sees the old file or the new one, never neither). Other flags are refused. */
KPLATFORM_API BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags);

/* ---- Virtual memory: whole regions, for large blocks that go back to the system at once ---- */
#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_RELEASE 0x00008000u
#define PAGE_READWRITE 0x04u
/* Only a new region (address null, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE) is served; it is
 * zeroed. On Linux a region of 2 MiB or more is offered to transparent huge pages. */
KPLATFORM_API LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect);
/* Releases a whole region (size 0, MEM_RELEASE) given by VirtualAlloc. */
KPLATFORM_API BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD type);

/* ---- Registry: HKEY_LOCAL_MACHINE is the REGEDIT4 file $KSYM_ROOT/registry.reg ---- */
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_DWORD 4u
/* Registry calls return an error code (ERROR_SUCCESS on success) instead of BOOL. */
KPLATFORM_API LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                 PHKEY result);
KPLATFORM_API LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result);
KPLATFORM_API LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                    LPBYTE data, LPDWORD dataSize);
KPLATFORM_API LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                  const BYTE* data, DWORD dataSize);
KPLATFORM_API LONG RegCloseKey(HKEY key);

/* ---- Message windows ---- */
#define HWND_MESSAGE ((HWND)(intptr_t)-3)
#define WM_NULL 0x0000u
#define WM_QUIT 0x0012u
#define WM_USER 0x0400u
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u
typedef struct POINT {
    LONG x;
    LONG y;
} POINT;
typedef struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;
/* A message-only window (parent HWND_MESSAGE) whose messages queue on the creating thread. */
KPLATFORM_API HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style,
                                   int x, int y, int width, int height, HWND parent, HMENU menu,
                                   HINSTANCE instance, LPVOID parameter);
KPLATFORM_API BOOL DestroyWindow(HWND window);
/* Queues a message for the window's thread; fails for a destroyed or unknown window. */
KPLATFORM_API BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
KPLATFORM_API void PostQuitMessage(int exitCode);
/* Waits for a message of the calling thread (of window, when it is not null) whose number
 * lies in [first, last] (both 0: any). 0 for WM_QUIT, -1 for a bad window, else nonzero. */
KPLATFORM_API BOOL GetMessageA(LPMSG message, HWND window, UINT first, UINT last);
KPLATFORM_API BOOL PeekMessageA(LPMSG message, HWND window, UINT first, UINT last, UINT remove);

/* ---- Not Win32: hooks for the project's own tests ---- */
/* Adds an offset to GetTickCount, so that tests can run across its wrap. */
KPLATFORM_API void KPlatformSetTickOffset(DWORD offset);
/* Makes the next `count` thread starts fail as if the system had no resources. */
KPLATFORM_API void KPlatformFailThreadStarts(int count);
/* The kernel objects (events, threads, files) open right now, for tests that look for leaks. */
KPLATFORM_API DWORD KPlatformOpenHandles(void);
/* The folder that stands in for the Windows machine ($KSYM_ROOT, else the default). */
KPLATFORM_API const char* KPlatformRoot(void);

#ifdef __cplusplus
}
#endif

#endif /* _WIN32 */
#endif /* KSYM_PLATFORM_WIN32_H */
