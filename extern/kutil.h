// KUtil: byte-order conversion, serial devices and a small string class.
//
// KSymbol reaches the utility library only through this header. A serial device reads and
// writes a file or memory as a stream of blocks, with a read position and a write position
// of its own. Devices are not locked: one thread uses a device at a time (the symbol upload
// hands its device from the loader to the notification thread and back under a lock).
#ifndef KSYM_EXTERN_KUTIL_H
#define KSYM_EXTERN_KUTIL_H

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

#if defined(KUTIL_BUILDING) && defined(KUTIL_USING)
#error "KUTIL_BUILDING and KUTIL_USING exclude each other"
#endif
#ifdef _WIN32
#ifdef KUTIL_BUILDING
#define KUTIL_API __declspec(dllexport)
#else
#define KUTIL_API __declspec(dllimport)
#endif
#define KUTIL_CALL __cdecl
#else
#ifdef KUTIL_BUILDING
#define KUTIL_API __attribute__((visibility("default")))
#else
#define KUTIL_API
#endif
#define KUTIL_CALL
#endif

extern "C" {
// When flag is nonzero, reverses the size bytes at pointer in place; otherwise leaves them.
// The result is always 0.
KUTIL_API int32_t KUTIL_CALL KUtilSwap(int32_t flag, void* pointer, uint32_t size);
}

// Status of a device: 0 when it is usable.
typedef int32_t SDERROR;
enum : SDERROR {
    SD_OK = 0,
    SD_OPEN_FAILED = 1, // the file could not be opened or created
    SD_IO_ERROR = 2,    // a read or write of the file failed
    SD_NO_MEMORY = 3,   // a buffer could not be grown
    SD_BAD_MODE = 4,    // the mode is not one of SD_READ, SD_WRITE
};

// How a file device opens its file.
typedef int32_t SDMODE;
enum : SDMODE {
    SD_READ = 0,  // read from the start; the file must exist
    SD_WRITE = 1, // write it anew from the start; the file is created or emptied
};

// The abstract device. The order of the virtual operations is part of the binary interface.
class KUTIL_API KSerDev {
public:
    KSerDev(const KSerDev& other);
    KSerDev& operator=(const KSerDev& other);

    virtual ~KSerDev();                  // slot 0
    virtual long GetMaxSerDev();         // 1: largest size the device can hold, -1 = no limit
    virtual long GetMaxDefinedSerDev();  // 2: bytes defined so far (the content's length)
    virtual char* GetDelimiterString();  // 3: what PutString appends, GetString stops at
    virtual long TellRead();             // 4: read position, bytes from the start
    virtual long TellWrite();            // 5: write position
    virtual SDERROR GetStatus();         // 6: 0 when the device is usable
    virtual long SeekRead(long offset);  // 7: sets the read position; the position set
    virtual long SeekWrite(long offset); // 8: sets the write position; the position set
    virtual long Append(KSerDev* other); // 9: appends other's whole content; bytes appended
    // 10: writes n bytes at the write position and advances it; bytes written.
    virtual long PutBlock(char* data, long n) = 0;
    // 11: reads up to n bytes at the read position and advances it; bytes read (0 or less:
    // nothing was read).
    virtual long GetBlock(char* buffer, long n) = 0;
    // 12: writes the text and the delimiter; bytes written.
    virtual long PutString(char* text) = 0;
    // 13: reads up to the delimiter (not stored) into buffer, at most n - 1 bytes, and
    // terminates it; bytes stored, -1 at the end of the content.
    virtual long GetString(char* buffer, long n) = 0;

protected:
    explicit KSerDev(SDMODE mode);

    // The six words every device keeps.
    int32_t mode_;
    SDERROR status_;
    int32_t readPos_;
    int32_t writePos_;
    int32_t length_; // bytes defined
    int32_t cookie_; // a word a derived device may use (KHandleSerDev keeps its handle here)
};

// A file read or written directly through the system, block by block.
class KUTIL_API KFileSerDev : public KSerDev {
public:
    KFileSerDev(char* path, SDMODE mode);
    // The copy gets a handle of its own to the same open file.
    KFileSerDev(const KFileSerDev& other);
    KFileSerDev& operator=(const KFileSerDev& other);
    ~KFileSerDev() override;

    long PutBlock(char* data, long n) override;
    long GetBlock(char* buffer, long n) override;
    long PutString(char* text) override;
    long GetString(char* buffer, long n) override;

private:
    HANDLE file_;
};

// A device whose content is held in a growable heap buffer that it owns.
class KUTIL_API KHeapSerDev : public KSerDev {
public:
    KHeapSerDev();
    KHeapSerDev(const KHeapSerDev& other); // copies the content
    KHeapSerDev& operator=(const KHeapSerDev& other);

    long PutBlock(char* data, long n) override;
    long GetBlock(char* buffer, long n) override;
    long PutString(char* text) override;
    long GetString(char* buffer, long n) override;

    // The content, GetMaxDefinedSerDev() bytes long (null while empty).
    const char* Data() const { return data_; }

protected:
    explicit KHeapSerDev(SDMODE mode);
    ~KHeapSerDev() override;
    // Makes room for at least `needed` bytes; false (and status SD_NO_MEMORY) when it cannot.
    bool Reserve(int64_t needed);

    char* data_;
    int32_t capacity_;
};

// A file held whole in memory: read mode loads it at construction, write mode creates it
// empty at construction and writes the content at destruction.
class KUTIL_API KBufferedFileSerDev : public KHeapSerDev {
public:
    KBufferedFileSerDev(char* path, SDMODE mode);
    KBufferedFileSerDev(const KBufferedFileSerDev& other);
    KBufferedFileSerDev& operator=(const KBufferedFileSerDev& other);
    ~KBufferedFileSerDev() override;

    // Writes the content to the file now (write mode); 0 on success, else the status.
    SDERROR Flush();

private:
    char path_[255]; // the file, NUL-terminated; longer paths cannot be opened
};

// A heap device loaded from an open handle (read mode) or written to it at destruction
// (write mode). The handle stays the caller's.
class KUTIL_API KHandleSerDev : public KHeapSerDev {
public:
    KHandleSerDev(HANDLE handle, SDMODE mode);
    KHandleSerDev(const KHandleSerDev& other);
    KHandleSerDev& operator=(const KHandleSerDev& other);
    ~KHandleSerDev() override;
};

// A device over caller-owned memory of a fixed size.
class KUTIL_API KMemSerDev : public KSerDev {
public:
    KMemSerDev(char* memory, long size, SDMODE mode);
    KMemSerDev(const KMemSerDev& other); // shares the caller's memory
    KMemSerDev& operator=(const KMemSerDev& other);
    ~KMemSerDev() override;

    long PutBlock(char* data, long n) override;
    long GetBlock(char* buffer, long n) override;
    long PutString(char* text) override;
    long GetString(char* buffer, long n) override;

private:
    char* memory_;
};

// A NUL-terminated text in a buffer the string owns. Callers may let system calls write into
// the buffer (up to GetAllocLen() bytes).
class KUTIL_API KString {
public:
    // The allocation record: capacity and whether the buffer is the string's own.
    struct KUTIL_API StringAlloc {
        int32_t allocLen;
        uint8_t owned;
        StringAlloc& operator=(const StringAlloc& other);
    };

    KString();                           // the empty string
    explicit KString(unsigned capacity); // empty, with room for capacity bytes
    KString(const char* text);           // a copy of text; null gives the empty string
    KString(const KString& other);
    KString& operator=(const KString& other);
    ~KString();

    int GetAllocLen() const;
    operator char*();
    char* GetStringPointer();
    // Appends text after the text the buffer holds now; grows the buffer when needed.
    // Returns the new length, -1 when the buffer could not grow.
    int AppendText(char* text);

private:
    char* text_;
    StringAlloc alloc_;
};

#endif // KSYM_EXTERN_KUTIL_H
