#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <stdlib.h>

#include "extern/kutil.h"

namespace {

namespace fs = std::filesystem;

// A fresh folder below $KSYM_ROOT for one test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir() {
        const char* root = std::getenv("KSYM_ROOT");
        fs::path base =
            root != nullptr && *root != '\0' ? fs::path(root) : fs::temp_directory_path();
        fs::create_directories(base);
        // A name no other test of any process has: tick count, address and a counter.
        static int counter = 0;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const fs::path candidate = base / ("kutil-" + std::to_string(GetTickCount()) + "-" +
                                               std::to_string(reinterpret_cast<uintptr_t>(this)) +
                                               "-" + std::to_string(++counter));
            std::error_code error;
            if (fs::create_directory(candidate, error)) {
                path_ = candidate.string();
            }
        }
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Spit(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

char* Mutable(std::string& s) {
    return s.data();
}

// KHeapSerDev itself is only ever used through a derived device.
class TestHeap : public KHeapSerDev {
public:
    TestHeap() = default;
    TestHeap(const TestHeap&) = default;
    TestHeap& operator=(const TestHeap&) = default;
    ~TestHeap() override = default;
    std::string Content() const {
        return Data() == nullptr ? std::string() : std::string(Data(), size_t(length_));
    }
};

std::string ReadRest(KSerDev& device) {
    std::string out;
    char chunk[7];
    long got;
    while ((got = device.GetBlock(chunk, sizeof chunk)) > 0) {
        out.append(chunk, size_t(got));
    }
    return out;
}

// Lines ending in "\r\n" or "\n", a "\r\n" split across the 256-byte read-ahead of the block
// devices, an over-long line, a lone '\r' and a last line without delimiter.
const std::string kLines = "first\r\nsecond\n\r\n" + std::string(255, 'x') + "\r\n" +
                           std::string(300, 'y') + "\r\nlone\rcr\nlast";

void ExpectLines(KSerDev& device, const char* what) {
    SCOPED_TRACE(what);
    std::vector<char> buffer(400, '#');
    char* b = buffer.data();
    EXPECT_EQ(5, device.GetString(b, 400));
    EXPECT_STREQ("first", b);
    EXPECT_EQ(-1, device.GetString(b, 0));
    EXPECT_EQ(-1, device.GetString(nullptr, 10));
    EXPECT_EQ(6, device.GetString(b, 400));
    EXPECT_STREQ("second", b);
    EXPECT_EQ(0, device.GetString(b, 400));
    EXPECT_STREQ("", b);
    EXPECT_EQ(255, device.GetString(b, 400));
    EXPECT_EQ(std::string(255, 'x'), b);
    // Too long: n - 1 bytes stored, terminated, nothing written beyond n; the rest is skipped.
    std::fill(buffer.begin(), buffer.end(), '#');
    EXPECT_EQ(9, device.GetString(b, 10));
    EXPECT_EQ(std::string(9, 'y'), b);
    EXPECT_EQ('#', b[10]);
    EXPECT_EQ(7, device.GetString(b, 400));
    EXPECT_STREQ("lone\rcr", b);
    EXPECT_EQ(4, device.GetString(b, 400));
    EXPECT_STREQ("last", b);
    EXPECT_EQ(long(kLines.size()), device.TellRead());
    EXPECT_EQ(-1, device.GetString(b, 400));
    // A one-byte buffer takes a whole line and stores nothing.
    EXPECT_EQ(0, device.SeekRead(0));
    EXPECT_EQ(0, device.GetString(b, 1));
    EXPECT_EQ(6, device.GetString(b, 400));
    EXPECT_STREQ("second", b);
}

TEST(KHeapSerDev, BlocksPositionsAndBadArguments) {
    TestHeap heap;
    EXPECT_EQ(SD_OK, heap.GetStatus());
    EXPECT_EQ(-1, heap.GetMaxSerDev());
    EXPECT_STREQ("\r\n", heap.GetDelimiterString());
    EXPECT_EQ(nullptr, heap.Data());
    std::string hello = "hello";
    EXPECT_EQ(5, heap.PutBlock(Mutable(hello), 5));
    EXPECT_EQ(5, heap.TellWrite());
    EXPECT_EQ(5, heap.GetMaxDefinedSerDev());
    char buffer[8] = {};
    EXPECT_EQ(3, heap.GetBlock(buffer, 3));
    EXPECT_EQ("hel", std::string(buffer, 3));
    EXPECT_EQ(3, heap.TellRead());
    EXPECT_EQ(2, heap.GetBlock(buffer, 100)); // only what is left
    EXPECT_EQ("lo", std::string(buffer, 2));
    EXPECT_EQ(0, heap.GetBlock(buffer, 1));
    EXPECT_EQ(0, heap.GetBlock(buffer, -1));
    EXPECT_EQ(0, heap.GetBlock(nullptr, 4));
    EXPECT_EQ(0, heap.PutBlock(Mutable(hello), 0));
    EXPECT_EQ(0, heap.PutBlock(Mutable(hello), LONG_MIN));
    EXPECT_EQ(0, heap.PutBlock(nullptr, 3));
    EXPECT_EQ(5, heap.GetMaxDefinedSerDev());

    // Positions below 0 are refused and leave the position as it was.
    EXPECT_EQ(-1, heap.SeekRead(-1));
    EXPECT_EQ(-1, heap.SeekWrite(-1));
    EXPECT_EQ(5, heap.TellRead());
    EXPECT_EQ(5, heap.TellWrite());
    // Overwriting inside keeps the length; reading past the end gives nothing.
    EXPECT_EQ(1, heap.SeekWrite(1));
    EXPECT_EQ(2, heap.PutBlock(Mutable(hello), 2));
    EXPECT_EQ("hhelo", heap.Content());
    EXPECT_EQ(50, heap.SeekRead(50));
    EXPECT_EQ(0, heap.GetBlock(buffer, 4));
    EXPECT_EQ(-1, heap.GetString(buffer, 8));
    // Writing past the end fills the gap with zeros.
    EXPECT_EQ(300, heap.SeekWrite(300));
    EXPECT_EQ(1, heap.PutBlock(Mutable(hello), 1));
    EXPECT_EQ(301, heap.GetMaxDefinedSerDev());
    EXPECT_EQ("hhelo" + std::string(295, '\0') + "h", heap.Content());
}

TEST(KHeapSerDev, GrowsKeepingContentAndRefusesBeyond32Bits) {
    TestHeap heap;
    std::string expected;
    for (int i = 0; expected.size() < 100000; ++i) {
        std::string piece(size_t(1 + i % 97), char('a' + i % 26));
        ASSERT_EQ(long(piece.size()), heap.PutBlock(Mutable(piece), long(piece.size())));
        expected += piece;
    }
    EXPECT_EQ(expected, heap.Content());
    EXPECT_EQ(expected, ReadRest(heap));

    // No size arithmetic may wrap: these are refused before anything is read or allocated.
    char four[4] = {'a', 'b', 'c', 'd'};
    if (sizeof(long) > 4) { // where long has 32 bits, LONG_MAX bytes is a size a heap may hold
        TestHeap tiny;
        EXPECT_EQ(0, tiny.PutBlock(four, LONG_MAX));
        EXPECT_EQ(SD_NO_MEMORY, tiny.GetStatus());
        EXPECT_EQ(0, tiny.GetMaxDefinedSerDev());
    }
    TestHeap distant;
    EXPECT_EQ(INT32_MAX, distant.SeekWrite(INT32_MAX));
    EXPECT_EQ(0, distant.PutBlock(four, 1));
    EXPECT_EQ(0, distant.PutBlock(four, LONG_MAX)); // position + n would wrap
    EXPECT_EQ(SD_NO_MEMORY, distant.GetStatus());
    EXPECT_EQ(INT32_MAX, distant.TellWrite());
    if (sizeof(long) > 4) {
        const long long beyond = INT32_MAX + 1LL;
        EXPECT_EQ(-1, distant.SeekRead(static_cast<long>(beyond)));
        EXPECT_EQ(-1, distant.SeekWrite(LONG_MAX));
    }
}

TEST(KHeapSerDev, CopiesAreDeepAndAppendReadsOtherWhole) {
    TestHeap a;
    std::string abc = "abc";
    a.PutBlock(Mutable(abc), 3);
    a.SeekRead(1);
    TestHeap b(a);
    EXPECT_NE(a.Data(), b.Data());
    EXPECT_EQ(1, b.TellRead());
    EXPECT_EQ(3, b.TellWrite());
    b.PutBlock(Mutable(abc), 3);
    EXPECT_EQ("abc", a.Content());
    EXPECT_EQ("abcabc", b.Content());
    a = b;
    EXPECT_EQ("abcabc", a.Content());
    EXPECT_NE(a.Data(), b.Data());
    TestHeap& same = a;
    a = same;
    EXPECT_EQ("abcabc", a.Content());

    // Append takes other's content from its start and leaves other's read position alone.
    std::string memory = "0123456789";
    KMemSerDev source(Mutable(memory), 10, SD_READ);
    source.SeekRead(4);
    TestHeap target;
    EXPECT_EQ(10, target.Append(&source));
    EXPECT_EQ(4, source.TellRead());
    EXPECT_EQ("0123456789", target.Content());
    EXPECT_EQ(0, target.Append(nullptr));
    // Appending a device to itself copies what it held once.
    EXPECT_EQ(10, target.Append(&target));
    EXPECT_EQ("01234567890123456789", target.Content());
}

TEST(KMemSerDev, StaysWithinTheCallersMemory) {
    std::string digits = "0123456789";
    KMemSerDev reader(Mutable(digits), 10, SD_READ);
    EXPECT_EQ(10, reader.GetMaxSerDev());
    EXPECT_EQ(10, reader.GetMaxDefinedSerDev());
    EXPECT_EQ("0123456789", ReadRest(reader));
    std::string zz = "zz";
    EXPECT_EQ(0, reader.PutBlock(Mutable(zz), 2)); // memory given for reading is not written
    EXPECT_EQ("0123456789", digits);

    std::string memory(12, '#'); // 8 bytes for the device, 4 guard bytes
    KMemSerDev writer(Mutable(memory), 8, SD_WRITE);
    EXPECT_EQ(0, writer.GetMaxDefinedSerDev());
    std::string five = "abcde";
    EXPECT_EQ(5, writer.PutBlock(Mutable(five), 5));
    EXPECT_EQ(3, writer.PutBlock(Mutable(five), 5));
    EXPECT_EQ(0, writer.PutBlock(Mutable(five), 5));
    EXPECT_EQ(0, writer.PutString(Mutable(five)));
    EXPECT_EQ("abcdeabc####", memory);
    EXPECT_EQ(8, writer.GetMaxDefinedSerDev());
    EXPECT_EQ("abcdeabc", ReadRest(writer));

    // A copy writes to the same memory.
    KMemSerDev copy(writer);
    copy.SeekWrite(0);
    EXPECT_EQ(2, copy.PutBlock(Mutable(zz), 2));
    EXPECT_EQ("zzcdeabc####", memory);

    // A string that does not fit is cut where the memory ends.
    std::string room(5, '#');
    KMemSerDev line(Mutable(room), 5, SD_WRITE);
    std::string abcd = "abcd";
    EXPECT_EQ(5, line.PutString(Mutable(abcd)));
    EXPECT_EQ("abcd\r", room);

    for (KMemSerDev* bad :
         {new KMemSerDev(nullptr, 10, SD_WRITE), new KMemSerDev(Mutable(memory), -1, SD_WRITE),
          new KMemSerDev(Mutable(memory), 8, 9)}) {
        char buffer[4];
        EXPECT_NE(SD_OK, bad->GetStatus());
        EXPECT_EQ(0, bad->PutBlock(Mutable(five), 5));
        EXPECT_EQ(0, bad->GetBlock(buffer, 4));
        EXPECT_EQ(-1, bad->GetString(buffer, 4));
        delete bad;
    }
    EXPECT_EQ("zzcdeabc####", memory);
}

TEST(KFileSerDev, WritesAndReadsTheFileBlockByBlock) {
    TempDir dir;
    std::string path = dir.File("blocks.bin");
    Spit(path, "old content that must go");
    {
        KFileSerDev writer(Mutable(path), SD_WRITE);
        ASSERT_EQ(SD_OK, writer.GetStatus());
        EXPECT_EQ(0u, fs::file_size(path));
        std::string text = "abc";
        EXPECT_EQ(3, writer.PutBlock(Mutable(text), 3));
        std::string line = "line";
        EXPECT_EQ(6, writer.PutString(Mutable(line)));
        EXPECT_EQ(9, writer.GetMaxDefinedSerDev());
        writer.SeekWrite(1);
        EXPECT_EQ(1, writer.PutBlock(Mutable(line) + 3, 1));
        char buffer[4];
        EXPECT_EQ(0, writer.GetBlock(buffer, 4));
    }
    EXPECT_EQ("aecline\r\n", Slurp(path));

    KFileSerDev reader(Mutable(path), SD_READ);
    ASSERT_EQ(SD_OK, reader.GetStatus());
    EXPECT_EQ(9, reader.GetMaxDefinedSerDev());
    EXPECT_EQ(-1, reader.GetMaxSerDev());
    char buffer[16] = {};
    EXPECT_EQ(4, reader.GetBlock(buffer, 4));
    EXPECT_EQ("aecl", std::string(buffer, 4));
    EXPECT_EQ(3, reader.GetString(buffer, sizeof buffer));
    EXPECT_STREQ("ine", buffer);
    EXPECT_EQ(0, reader.GetBlock(buffer, 4));
    EXPECT_EQ(2, reader.SeekRead(2));
    EXPECT_EQ("cline\r\n", ReadRest(reader));
    EXPECT_EQ(0, reader.PutBlock(buffer, 2)); // opened for reading
    EXPECT_EQ("aecline\r\n", Slurp(path));

    // A copy has a handle of its own: it reads on after the original is gone.
    auto* original = new KFileSerDev(Mutable(path), SD_READ);
    original->SeekRead(7);
    KFileSerDev copy(*original);
    delete original;
    EXPECT_EQ("\r\n", ReadRest(copy));
    reader = copy;
    EXPECT_EQ(9, reader.TellRead());
    EXPECT_EQ(0, reader.SeekRead(0));
    EXPECT_EQ("aecline\r\n", ReadRest(reader));
    KFileSerDev& same = reader;
    reader = same;
    reader.SeekRead(1);
    EXPECT_EQ("ecline\r\n", ReadRest(reader));
    EXPECT_EQ(3, copy.SeekRead(3));
    EXPECT_EQ("line\r\n", ReadRest(copy));
}

TEST(KFileSerDev, UnopenedDeviceIsHarmless) {
    TempDir dir;
    std::string missing = dir.File("missing.txt");
    std::string nowhere = dir.File("no/such/folder.txt");
    std::string data = "data";
    KFileSerDev devices[] = {{Mutable(missing), SD_READ},
                             {Mutable(nowhere), SD_WRITE},
                             {nullptr, SD_READ},
                             {nullptr, SD_WRITE},
                             {Mutable(missing), 5}};
    for (KFileSerDev& device : devices) {
        char buffer[8];
        EXPECT_EQ(0, device.PutBlock(Mutable(data), 4));
        EXPECT_EQ(0, device.GetBlock(buffer, 8));
        EXPECT_EQ(-1, device.GetString(buffer, 8));
        KFileSerDev copy(device);
        EXPECT_NE(SD_OK, copy.GetStatus());
    }
    EXPECT_EQ(SD_OPEN_FAILED, devices[0].GetStatus());
    EXPECT_EQ(SD_OPEN_FAILED, devices[1].GetStatus());
    EXPECT_EQ(SD_OPEN_FAILED, devices[3].GetStatus());
    EXPECT_EQ(SD_BAD_MODE, devices[4].GetStatus());
    EXPECT_FALSE(fs::exists(missing));
}

TEST(KBufferedFileSerDev, WriteModeCompletesTheFileAtFlushAndDestruction) {
    TempDir dir;
    std::string path = dir.File("buffered.txt");
    {
        KBufferedFileSerDev writer(Mutable(path), SD_WRITE);
        ASSERT_EQ(SD_OK, writer.GetStatus());
        EXPECT_TRUE(fs::exists(path));
        std::string one = "one";
        writer.PutString(Mutable(one));
        EXPECT_EQ(0u, fs::file_size(path));
        EXPECT_EQ(SD_OK, writer.Flush());
        EXPECT_EQ("one\r\n", Slurp(path));
        writer.PutBlock(Mutable(one), 2);
        KBufferedFileSerDev copy(writer); // writes the same file, with the same content
    }
    EXPECT_EQ("one\r\non", Slurp(path));

    KBufferedFileSerDev reader(Mutable(path), SD_READ);
    ASSERT_EQ(SD_OK, reader.GetStatus());
    fs::remove(path); // the content is held whole in memory
    EXPECT_EQ(7, reader.GetMaxDefinedSerDev());
    EXPECT_EQ("one\r\non", ReadRest(reader));
    EXPECT_FALSE(fs::exists(path)); // reading writes nothing
}

TEST(KBufferedFileSerDev, PathLimitsAndFailuresDiscardWrites) {
    TempDir dir;
    ASSERT_LT(dir.Path().size(), 200u);
    std::string longest = dir.File(std::string(254 - dir.Path().size() - 1, 'p'));
    ASSERT_EQ(254u, longest.size());
    std::string tooLong = longest + "q";
    {
        KBufferedFileSerDev fits(Mutable(longest), SD_WRITE);
        EXPECT_EQ(SD_OK, fits.GetStatus());
        KBufferedFileSerDev refused(Mutable(tooLong), SD_WRITE);
        EXPECT_EQ(SD_OPEN_FAILED, refused.GetStatus());
        std::string data = "data";
        EXPECT_EQ(4, fits.PutBlock(Mutable(data), 4));
        EXPECT_EQ(4, refused.PutBlock(Mutable(data), 4));
        EXPECT_EQ(0, refused.GetMaxDefinedSerDev());
        EXPECT_EQ(nullptr, refused.Data());
    }
    EXPECT_EQ("data", Slurp(longest));
    EXPECT_FALSE(fs::exists(tooLong));

    std::string missing = dir.File("missing.txt");
    std::string nowhere = dir.File("no/folder.txt");
    KBufferedFileSerDev failed[] = {
        {nullptr, SD_WRITE}, {Mutable(missing), SD_READ}, {Mutable(nowhere), SD_WRITE}};
    for (KBufferedFileSerDev& device : failed) {
        std::string data = "data";
        char buffer[4];
        EXPECT_EQ(SD_OPEN_FAILED, device.GetStatus());
        EXPECT_EQ(4, device.PutBlock(Mutable(data), 4));
        EXPECT_EQ(0, device.GetBlock(buffer, 4));
        EXPECT_EQ(SD_OPEN_FAILED, device.Flush());
    }
    EXPECT_FALSE(fs::exists(missing));
}

TEST(KHandleSerDev, ReadsFromAndWritesToTheCallersHandle) {
    TempDir dir;
    std::string path = dir.File("handle.bin");
    std::string content(200000, '\0');
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = char(i % 251);
    }
    Spit(path, content);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ASSERT_EQ(4u, SetFilePointer(file, 4, nullptr, FILE_BEGIN));
    {
        KHandleSerDev reader(file, SD_READ);
        EXPECT_EQ(SD_OK, reader.GetStatus());
        EXPECT_EQ(content.substr(4), ReadRest(reader));
    }
    EXPECT_TRUE(CloseHandle(file)); // still open: the device left it to its owner

    // Shared for reading, so that the check below may look while the handle is open.
    file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    {
        KHandleSerDev writer(file, SD_WRITE);
        std::string text = "written at the end";
        EXPECT_EQ(20, writer.PutString(Mutable(text)));
        EXPECT_EQ(0u, fs::file_size(path));
    }
    EXPECT_EQ("written at the end\r\n", Slurp(path));
    EXPECT_TRUE(CloseHandle(file));

    for (HANDLE bad : {INVALID_HANDLE_VALUE, HANDLE(nullptr)}) {
        KHandleSerDev device(bad, SD_WRITE);
        std::string data = "data";
        EXPECT_EQ(SD_OPEN_FAILED, device.GetStatus());
        EXPECT_EQ(4, device.PutBlock(Mutable(data), 4));
        EXPECT_EQ(0, device.GetMaxDefinedSerDev());
    }
}

TEST(SerDevText, EveryDeviceReadsTheSameLines) {
    TempDir dir;
    std::string path = dir.File("lines.txt");
    Spit(path, kLines);
    std::string memory = kLines;
    TestHeap heap;
    std::string copy = kLines;
    heap.PutBlock(Mutable(copy), long(copy.size()));
    KMemSerDev mem(Mutable(memory), long(memory.size()), SD_READ);
    KFileSerDev file(Mutable(path), SD_READ);
    KBufferedFileSerDev buffered(Mutable(path), SD_READ);
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    KHandleSerDev fromHandle(handle, SD_READ);
    CloseHandle(handle);
    ExpectLines(heap, "heap");
    ExpectLines(mem, "memory");
    ExpectLines(file, "file");
    ExpectLines(buffered, "buffered file");
    ExpectLines(fromHandle, "handle");

    // What PutString writes is what GetString reads back.
    TestHeap written;
    std::string empty, text = "text";
    EXPECT_EQ(6, written.PutString(Mutable(text)));
    EXPECT_EQ(2, written.PutString(Mutable(empty)));
    EXPECT_EQ(0, written.PutString(nullptr));
    EXPECT_EQ("text\r\n\r\n", written.Content());
    char buffer[8];
    EXPECT_EQ(4, written.GetString(buffer, 8));
    EXPECT_EQ(0, written.GetString(buffer, 8));
    EXPECT_EQ(-1, written.GetString(buffer, 8));
}

#ifdef __linux__
size_t OpenDescriptors() {
    return size_t(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST(SerDevHandles, NoDeviceLeaksOrDoubleClosesAHandle) {
    TempDir dir;
    std::string path = dir.File("handles.txt");
    Spit(path, "abc\r\n");
    { KFileSerDev warmUp(Mutable(path), SD_READ); } // whatever the layer sets up once
    const size_t before = OpenDescriptors();
    for (int i = 0; i < 3; ++i) {
        KFileSerDev file(Mutable(path), SD_READ);
        KFileSerDev copy(file);
        KFileSerDev assigned(Mutable(path), SD_READ);
        assigned = copy;
        KBufferedFileSerDev buffered(Mutable(path), SD_READ);
        std::string out = dir.File("out.txt");
        KBufferedFileSerDev writer(Mutable(out), SD_WRITE);
        writer.Append(&assigned);
    }
    EXPECT_EQ(before, OpenDescriptors());
    EXPECT_EQ("abc\r\n", Slurp(dir.File("out.txt")));
}
#endif

} // namespace
