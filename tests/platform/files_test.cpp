// Files, folders and the root folder, reached through Windows-form paths.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "temp_root.h"

namespace {

namespace fs = std::filesystem;

class Files : public TempRoot {
protected:
    void SetUp() override {
        TempRoot::SetUp();
        fs::create_directories(root_);
    }
    // Below root_ with '\' between the names, as the modules build their paths.
    std::string windows_path(const std::string& below) const { return root_ + "\\" + below; }
    HANDLE open(const std::string& below, DWORD access, DWORD disposition) const {
        return CreateFileA(windows_path(below).c_str(), access, FILE_SHARE_READ, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    static long open_descriptors() {
        return static_cast<long>(
            std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
    }
};

TEST_F(Files, BackslashesBecomeSlashesAndFoldersAreMadeOneLevelAtATime) {
    EXPECT_TRUE(CreateDirectoryA(windows_path("Korvan Files").c_str(), nullptr));
    EXPECT_TRUE(fs::is_directory(root_ + "/Korvan Files"));
    EXPECT_FALSE(CreateDirectoryA(windows_path("Korvan Files").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryA(windows_path("a\\b").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(fs::exists(root_ + "/a")) << "no parents are made";

    HANDLE file = open("Korvan Files\\Symbols.txt", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(read_text(root_ + "/Korvan Files/Symbols.txt"), "hello");

    EXPECT_TRUE(DeleteFileA(windows_path("Korvan Files\\Symbols.txt").c_str()));
    EXPECT_FALSE(fs::exists(root_ + "/Korvan Files/Symbols.txt"));
    EXPECT_FALSE(DeleteFileA(windows_path("Korvan Files\\Symbols.txt").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Files, DispositionsCreateOpenAndTruncateAsOnWindows) {
    EXPECT_EQ(open("data.bin", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open("missing\\data.bin", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    HANDLE file = open("data.bin", GENERIC_WRITE, OPEN_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "newly made";
    EXPECT_TRUE(WriteFile(file, "0123456789", 10, nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(open("data.bin", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 80u) << "ERROR_FILE_EXISTS";

    file = open("data.bin", GENERIC_READ, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(file, nullptr), 10u) << "OPEN_ALWAYS keeps the content";
    EXPECT_TRUE(CloseHandle(file));
    file = open("data.bin", GENERIC_WRITE, CREATE_ALWAYS);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(file, nullptr), 0u) << "CREATE_ALWAYS empties it";
    EXPECT_TRUE(WriteFile(file, "abc", 3, nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(file));
    file = open("data.bin", GENERIC_WRITE, TRUNCATE_EXISTING);
    EXPECT_EQ(GetFileSize(file, nullptr), 0u);
    EXPECT_TRUE(CloseHandle(file));

    EXPECT_EQ(CreateFileA(root_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "a folder";
}

TEST_F(Files, ReadWriteSeekAndSize) {
    HANDLE file = open("io.bin", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD done = 0, high = 99;
    ASSERT_TRUE(WriteFile(file, "0123456789", 10, &done, nullptr));
    EXPECT_EQ(GetFileSize(file, &high), 10u);
    EXPECT_EQ(high, 0u);

    EXPECT_EQ(SetFilePointer(file, 2, nullptr, FILE_BEGIN), 2u);
    char buffer[16] = {};
    EXPECT_TRUE(ReadFile(file, buffer, 3, &done, nullptr));
    EXPECT_STREQ(buffer, "234");
    EXPECT_EQ(SetFilePointer(file, -1, nullptr, FILE_CURRENT), 4u);
    EXPECT_EQ(SetFilePointer(file, -2, nullptr, FILE_END), 8u);
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 2u) << "short at the end of the file";
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 0u);

    EXPECT_EQ(SetFilePointer(file, -11, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), 131u) << "ERROR_NEGATIVE_SEEK";
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 10u) << "a failed seek moves not";
    LONG distance_high = 1; // beyond 4 GiB, a hole in a sparse file
    EXPECT_EQ(SetFilePointer(file, 5, &distance_high, FILE_BEGIN), 5u);
    EXPECT_EQ(distance_high, 1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER)
        << "that far only with the high part";

    char overlapped[32] = {};
    EXPECT_FALSE(ReadFile(file, buffer, 1, &done, overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(CloseHandle(file));
    file = open("io.bin", GENERIC_READ, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(file, "x", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "opened to read";
    EXPECT_TRUE(CloseHandle(file));
}

TEST_F(Files, ClosedAndForeignHandlesFailAndTheLastCloseClosesTheFile) {
    const long before = open_descriptors();
    HANDLE file = open("dup.bin", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(open_descriptors(), before + 1) << "still open through the copy";
    EXPECT_TRUE(WriteFile(copy, "ok", 2, nullptr, nullptr));

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 7;
    char buffer[4];
    for (HANDLE bad : {file, event}) {
        SetLastError(0);
        EXPECT_FALSE(WriteFile(bad, "no", 2, &done, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(ReadFile(bad, buffer, 1, &done, nullptr));
        EXPECT_EQ(done, 0u);
        EXPECT_EQ(SetFilePointer(bad, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_EQ(GetFileSize(bad, nullptr), 0xFFFFFFFFu);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_FAILED) << "a file cannot be waited on";
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(CloseHandle(copy));
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(read_text(root_ + "/dup.bin"), "ok");
}

TEST_F(Files, RootFollowsTheEnvironmentAndTheWindowsFolderIsMadeOnDemand) {
    const std::string deeper = folder_ + "/not/yet";
    setenv("KSYM_ROOT", deeper.c_str(), 1);
    EXPECT_EQ(std::string(KPlatformRoot()), deeper);
    const std::string expected = deeper + "/windows";
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(GetWindowsDirectoryA(small, sizeof small), expected.size() + 1);
    EXPECT_EQ(small[0], 'x') << "too small: not written";
    EXPECT_TRUE(fs::is_directory(expected)) << "made with its parents";
    char buffer[MAX_PATH * 4];
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof buffer), expected.size());
    EXPECT_EQ(std::string(buffer), expected);

    const char* home = std::getenv("HOME");
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const std::string saved_home = home ? home : "", saved_xdg = xdg ? xdg : "";
    unsetenv("KSYM_ROOT");
    setenv("XDG_DATA_HOME", "/xdg", 1);
    EXPECT_STREQ(KPlatformRoot(), "/xdg/ksymbol");
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", "/home/someone", 1);
    EXPECT_STREQ(KPlatformRoot(), "/home/someone/.local/share/ksymbol");
    if (home)
        setenv("HOME", saved_home.c_str(), 1);
    if (xdg)
        setenv("XDG_DATA_HOME", saved_xdg.c_str(), 1);
    setenv("KSYM_ROOT", root_.c_str(), 1);
}

} // namespace
