#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "frame/channel_table.h"
#include "frame/module_settings.h"
#include "frame_test_support.h"
#include "include/ksymbol.h"
#include "loader_test_support.h"
#include "symbols/symbol_file_path.h"
#include "symbols/symbol_loader.h"
#include "support/watchdog.h"

namespace {

using ksymtest::Chunk;
using ksymtest::kNotifyMsg;
using ksymtest::ProjectIdReply;
using ksymtest::ReadFileBack;
using ksymtest::ScriptedStation;
using ksymtest::SmallProject;
using ksymtest::Split;
using ksymtest::StationReply;

constexpr uint32_t kLocalId = 0x11112222;
constexpr uint32_t kStationId = 0x33334444;

const std::vector<uint8_t> kUploadRequest = {0x31, 0x00, 0x0E, 0x00, 'D', 'O', 'W', 'N', 'L',
                                             'O',  'A',  'D',  '.',  'S', 'D', 'B', 0,   0};

std::string WindowsDirectory() {
    char buffer[260] = {};
    GetWindowsDirectoryA(buffer, sizeof buffer);
    return buffer;
}

void SetFilesValue(const std::string& folder) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, ksym::kConfigKey, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Files", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                             static_cast<DWORD>(folder.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// The text stored as "Files", or "" when there is none.
std::string FilesValue() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ksym::kConfigKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "";
    }
    char buffer[260] = {};
    DWORD size = sizeof buffer;
    const LONG result =
        RegQueryValueExA(key, "Files", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? buffer : "";
}

void ForgetConfiguration() {
#ifdef _WIN32
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, ksym::kConfigKey);
#else
    std::remove((std::string(KPlatformRoot()) + "/registry.reg").c_str());
#endif
}

class SymbolLoaderTest : public ksymtest::FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
#ifndef _WIN32
        // Natively the cases run side by side: each gets a machine of its own, registry
        // included. Nothing but this thread runs yet.
        setenv("KSYM_ROOT", (std::string(KPlatformRoot()) + "/" + name).c_str(), 1);
#endif
        folder_ = WindowsDirectory() + "\\loader-" + name;
        SetFilesValue(folder_);
        CreateDirectoryA(folder_.c_str(), nullptr);
        CreateDirectoryA((folder_ + "\\Upload").c_str(), nullptr);
        path_ = folder_ + "\\Upload\\PLANT1.sdb";
        DeleteFileA(path_.c_str());
        channel_ = KSymOpenChannel("station", 0, window_, kNotifyMsg);
        ASSERT_NE(channel_, -1);
        ksym::SetLoaderWaits(5000, 60000);
    }
    void TearDown() override {
        ksym::SetLoaderWaits(5000, 60000);
        ksym::Settings().uploadEnabled = 1;
        KSymCloseChannel(channel_);
        FrameTest::TearDown();
    }

    // The telegrams written on the channel, in order.
    std::vector<std::vector<uint8_t>> Sent() const {
        std::vector<std::vector<uint8_t>> sent;
        for (const fake::Telegram& telegram : fake::Telegrams()) {
            if (telegram.channel == channel_) {
                sent.push_back(telegram.bytes);
            }
        }
        return sent;
    }

    // An upload in `parts` chunks of `file`, and a project id `id` when asked.
    ScriptedStation::Answer Station(std::vector<uint8_t> file, size_t parts, uint32_t id,
                                    int32_t swap = 0) {
        auto pieces = std::make_shared<std::vector<std::vector<uint8_t>>>(Split(file, parts));
        auto next = std::make_shared<size_t>(0);
        return [=](const std::vector<uint8_t>& telegram, size_t) -> std::vector<StationReply> {
            if (telegram[0] == 0x11) {
                return {ProjectIdReply(0, id, swap)};
            }
            if (telegram[0] == 0x31) {
                *next = 0;
            }
            const size_t i = (*next)++;
            return {Chunk((*pieces)[i], i + 1 < pieces->size(), swap)};
        };
    }

    // A fresh channel at a fresh fake, for the next case of a test.
    void Reopen() {
        KSymCloseChannel(channel_);
        fake::Reset();
        channel_ = KSymOpenChannel("station", 0, window_, kNotifyMsg);
        ASSERT_NE(channel_, -1);
    }

    int32_t Load(SymbolEntry*** symbols = nullptr, int32_t* count = nullptr,
                 const char* prefix = nullptr) {
        return KSymLoadSymbolsEx(channel_, prefix, symbols, count, 0);
    }

    std::string folder_;
    std::string path_;
    int32_t channel_ = -1;
};

TEST_F(SymbolLoaderTest, WithoutALocalFileTheFileIsUploadedInThreeChunksAndIndexed) {
    const std::vector<uint8_t> file = SmallProject(kStationId);
    ScriptedStation station(channel_, Station(file, 3, kStationId));
    SymbolEntry** symbols = nullptr;
    int32_t count = -1;
    ASSERT_EQ(Load(&symbols, &count), 1);
    EXPECT_EQ(KClientGetLastError(), 0);

    // No local id, so no identification: the 18-byte request, then one 0x32 per chunk.
    const std::vector<std::vector<uint8_t>> expected = {kUploadRequest, {0x32}, {0x32}};
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(ReadFileBack(path_), file);

    ASSERT_EQ(count, 5);
    EXPECT_STREQ(symbols[0]->name, "Line1.Speed");
    EXPECT_STREQ(symbols[2]->typeName, "INTARR10");
    EXPECT_STREQ(symbols[4]->typeName, "DATA");
    EXPECT_EQ(symbols[1]->offset, 2u);
    ksym::ChannelContext* context = ksym::FindChannelContext(channel_);
    EXPECT_EQ(context->projectId.load(), static_cast<int32_t>(kStationId));
    EXPECT_EQ(context->elementSizes, nullptr);
    EXPECT_EQ(context->uploadDevice.load(), nullptr);
    EXPECT_EQ(context->uploadEvent.load(), nullptr);
    EXPECT_EQ(context->projectIdEvent.load(), nullptr);

    // The prefix selects case-insensitively; without symbolsOut the count is 0.
    ASSERT_EQ(Load(&symbols, &count, "line1.s"), 1);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(symbols[1]->name, "LINE1.SPEED");
    ASSERT_EQ(Load(nullptr, &count, "line1"), 1);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(ksymtest::NothingPosted(window_, 0));
}

TEST_F(SymbolLoaderTest, SwappedStationGetsItsLengthFieldSwappedAndSwappedChunksAreTakenIn) {
    const std::vector<uint8_t> file = SmallProject(kStationId);
    ScriptedStation station(channel_, Station(file, 2, kStationId, 1));
    ASSERT_EQ(KSymLoadSymbolsEx(channel_, nullptr, nullptr, nullptr, 1), 1);
    std::vector<uint8_t> request = kUploadRequest;
    std::swap(request[2], request[3]);
    ASSERT_FALSE(Sent().empty());
    EXPECT_EQ(Sent()[0], request);
    EXPECT_EQ(ReadFileBack(path_), file);
}

TEST_F(SymbolLoaderTest, ALocalFileTheStationConfirmsIsReadWithoutUpload) {
    ksymtest::WriteFile(folder_ + "\\Upload\\PLANT1.sdb", SmallProject(kLocalId));
    ScriptedStation station(channel_, Station(SmallProject(kStationId), 1, kLocalId));
    int32_t count = 0;
    SymbolEntry** symbols = nullptr;
    ASSERT_EQ(Load(&symbols, &count), 1);
    const std::vector<std::vector<uint8_t>> expected = {{0x11}};
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(count, 5);
}

TEST_F(SymbolLoaderTest, ALocalFileWithAnotherIdIsReplacedByTheUpload) {
    ksymtest::WriteFile(path_, SmallProject(kLocalId));
    const std::vector<uint8_t> file = SmallProject(kStationId);
    ScriptedStation station(channel_, Station(file, 1, kStationId));
    ASSERT_EQ(Load(), 1);
    const std::vector<std::vector<uint8_t>> expected = {{0x11}, kUploadRequest};
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(ReadFileBack(path_), file);
}

TEST_F(SymbolLoaderTest, TheLocalFileIsReplacedOnlyByACompleteUploadInOneStep) {
    const std::vector<uint8_t> old = SmallProject(kLocalId);
    const std::vector<uint8_t> file = SmallProject(kStationId);
    ksymtest::WriteFile(path_, old);
    // While the chunks arrive, the local file is the old one, whole.
    std::vector<std::vector<uint8_t>> during;
    ScriptedStation::Answer answer = Station(file, 3, kStationId);
    ScriptedStation station(channel_, [&](const std::vector<uint8_t>& telegram, size_t n) {
        during.push_back(ReadFileBack(path_));
        return answer(telegram, n);
    });
    ASSERT_EQ(Load(), 1);
    ASSERT_EQ(during.size(), 4u); // identification, upload request, two continuations
    for (const std::vector<uint8_t>& seen : during) {
        EXPECT_EQ(seen, old);
    }
    EXPECT_EQ(ReadFileBack(path_), file);

    // An upload that arrives whole but cannot be read replaces nothing with it: the load
    // fails as any failed upload does, and no file is left to be trusted by its header.
    Reopen();
    ksymtest::WriteFile(path_, old);
    std::vector<uint8_t> unreadable = file;
    unreadable.resize(unreadable.size() - 3);
    ScriptedStation refused(channel_, Station(unreadable, 2, kStationId));
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    bool exists = true;
    ReadFileBack(path_, &exists);
    EXPECT_FALSE(exists);
}

TEST_F(SymbolLoaderTest, AConfirmedLocalFileThatCannotBeReadIsUploadedAgain) {
    // A header the station confirms, with the rest cut off (as a crash while writing it
    // would have left it).
    std::vector<uint8_t> cut = SmallProject(kStationId);
    cut.resize(cut.size() / 2);
    ksymtest::WriteFile(path_, cut);
    const std::vector<uint8_t> file = SmallProject(kStationId);
    ScriptedStation station(channel_, Station(file, 1, kStationId));
    int32_t count = 0;
    SymbolEntry** symbols = nullptr;
    ASSERT_EQ(Load(&symbols, &count), 1);
    const std::vector<std::vector<uint8_t>> expected = {{0x11}, kUploadRequest};
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(ReadFileBack(path_), file);
}

TEST_F(SymbolLoaderTest, AFailedIdentificationStillUploadsAndTheUploadDecides) {
    ksymtest::WriteFile(path_, SmallProject(kLocalId));
    const std::vector<uint8_t> file = SmallProject(kStationId);
    // Refused, empty, short, fatal: each leads to the upload.
    const std::vector<StationReply> failures = {
        ProjectIdReply(3, kLocalId), StationReply{COMM_MESSAGEREADY, {}},
        StationReply{COMM_MESSAGEREADY, {0, 0, 1, 2, 3}}, StationReply{COMM_FATALERROR, {}}};
    for (const StationReply& failure : failures) {
        SCOPED_TRACE(failure.status * 1000 + static_cast<int>(failure.bytes.size()));
        Reopen();
        ksymtest::WriteFile(path_, SmallProject(kLocalId));
        ScriptedStation station(
            channel_,
            [&](const std::vector<uint8_t>& telegram, size_t) -> std::vector<StationReply> {
                if (telegram[0] == 0x11) {
                    return {failure};
                }
                return {Chunk(file, false)};
            });
        ASSERT_EQ(Load(), 1);
        ASSERT_EQ(Sent().size(), 2u);
        EXPECT_EQ(Sent()[1], kUploadRequest);
        EXPECT_EQ(ReadFileBack(path_), file);
    }
}

TEST_F(SymbolLoaderTest, EveryFailedUploadDeletesTheFileAndRecords19) {
    struct Case {
        const char* what;
        std::vector<StationReply> firstReply;
    };
    const std::vector<uint8_t> file = SmallProject(kStationId);
    StationReply truncated = Chunk(file, false);
    truncated.bytes.pop_back(); // announces one byte more than it holds
    const std::vector<Case> cases = {
        {"refused", {Chunk({}, false, 0, 5)}},
        {"fatal", {StationReply{COMM_FATALERROR, {}}}},
        {"empty", {StationReply{COMM_MESSAGEREADY, {}}}},
        {"header cut short", {StationReply{COMM_MESSAGEREADY, {0, 0, 0, 0, 1}}}},
        {"data cut short", {truncated}},
        {"status only", {StationReply{COMM_MESSAGEREADY, {0}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reopen();
        ksymtest::WriteFile(path_, SmallProject(kLocalId));
        ScriptedStation station(channel_, [&](const std::vector<uint8_t>& telegram, size_t) {
            return telegram[0] == 0x11 ? std::vector<StationReply>{ProjectIdReply(0, kStationId)}
                                       : c.firstReply;
        });
        KClientSetLastError(0);
        SymbolEntry** symbols = reinterpret_cast<SymbolEntry**>(0x1);
        EXPECT_EQ(Load(&symbols), 0);
        EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
        EXPECT_EQ(symbols, reinterpret_cast<SymbolEntry**>(0x1)); // outputs untouched
        bool exists = true;
        ReadFileBack(path_, &exists);
        EXPECT_FALSE(exists);
        ksym::ChannelContext* context = ksym::FindChannelContext(channel_);
        EXPECT_EQ(context->symbolIndex, nullptr);
        EXPECT_EQ(context->symbolCount, 0);
    }
}

TEST_F(SymbolLoaderTest, AContinuationThatCannotBeSentFailsTheLoad) {
    const std::vector<uint8_t> file = SmallProject(kStationId);
    ScriptedStation station(channel_, [&](const std::vector<uint8_t>&, size_t n) {
        fake::SetWriteLimit(0); // every later telegram is refused
        return std::vector<StationReply>{Chunk(Split(file, 2)[n], true)};
    });
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    ASSERT_EQ(Sent().size(), 2u);
    EXPECT_EQ(Sent()[1], std::vector<uint8_t>{0x32});
    bool exists = true;
    ReadFileBack(path_, &exists);
    EXPECT_FALSE(exists);
}

TEST_F(SymbolLoaderTest, RequestsThatCannotBeSentFailAndDeleteTheLocalFile) {
    ksymtest::WriteFile(path_, SmallProject(kLocalId));
    fake::SetWriteLimit(0);
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    const std::vector<std::vector<uint8_t>> expected = {{0x11}, kUploadRequest};
    EXPECT_EQ(Sent(), expected);
    bool exists = true;
    ReadFileBack(path_, &exists);
    EXPECT_FALSE(exists);
}

TEST_F(SymbolLoaderTest, TimeOutsOfTheCheckAndOfTheUpload) {
    ksym::SetLoaderWaits(100, 200);
    ksymtest::WriteFile(path_, SmallProject(kLocalId));
    const std::vector<uint8_t> file = SmallProject(kStationId);
    {
        // No identification reply: the upload follows and its success makes the load good.
        ScriptedStation station(channel_, [&](const std::vector<uint8_t>& telegram, size_t) {
            return telegram[0] == 0x11 ? std::vector<StationReply>{}
                                       : std::vector<StationReply>{Chunk(file, false)};
        });
        EXPECT_EQ(Load(), 1);
    }
    {
        // The upload never ends: the file is gone and 19 recorded.
        Reopen();
        ScriptedStation station(channel_, [&](const std::vector<uint8_t>& telegram, size_t) {
            return telegram[0] == 0x11 ? std::vector<StationReply>{ProjectIdReply(0, 1)}
                                       : std::vector<StationReply>{Chunk(file, true)};
        });
        EXPECT_EQ(Load(), 0);
        EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
        bool exists = true;
        ReadFileBack(path_, &exists);
        EXPECT_FALSE(exists);
    }
}

// Replies whose status announces far more bytes than arrived (2^31, 2^32 - 1): the steps
// read only what the client holds, and a chunk that claims more data than it carries fails
// the upload.
TEST_F(SymbolLoaderTest, AnnouncedLengthsNearTwoToThe31And32AreReadOnlyAsFarAsTheyGo) {
    const std::vector<uint8_t> file = SmallProject(kStationId);
    for (const uint32_t announced : {0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(announced);
        Reopen();
        ksymtest::WriteFile(path_, SmallProject(kLocalId));
        {
            // The identification and both chunks announce the huge length: the load is good.
            ScriptedStation station(channel_, [&](const std::vector<uint8_t>& telegram, size_t) {
                StationReply reply = telegram[0] == 0x11   ? ProjectIdReply(0, kStationId)
                                     : telegram[0] == 0x31 ? Chunk(Split(file, 2)[0], true)
                                                           : Chunk(Split(file, 2)[1], false);
                reply.announced = announced;
                return std::vector<StationReply>{reply};
            });
            ASSERT_EQ(Load(), 1);
            EXPECT_EQ(ReadFileBack(path_), file);
        }
        {
            // A chunk whose data length says 0xFFFF but carries 4 bytes: the upload fails.
            Reopen();
            DeleteFileA(path_.c_str());
            ScriptedStation station(channel_, [&](const std::vector<uint8_t>&, size_t) {
                StationReply reply = Chunk({1, 2, 3, 4}, false);
                reply.bytes[4] = 0xFF;
                reply.bytes[5] = 0xFF;
                reply.announced = announced;
                return std::vector<StationReply>{reply};
            });
            EXPECT_EQ(Load(), 0);
            EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
            bool exists = true;
            ReadFileBack(path_, &exists);
            EXPECT_FALSE(exists);
        }
    }
}

// A chunk that reaches the dispatcher just as the loader gives up: whichever side gets
// there first, the device is never written after the loader closed it and no closed event
// is signalled (the address and thread sanitizers watch this test).
TEST_F(SymbolLoaderTest, AReplyArrivingAtTheTimeOutIsHandedOverSafely) {
    const std::vector<uint8_t> file = SmallProject(kStationId);
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        Reopen();
        DeleteFileA(path_.c_str());
        const DWORD wait = 30;
        ksym::SetLoaderWaits(wait, wait);
        fake::BlockReplyStatus(true);
        ScriptedStation station(channel_, [&](const std::vector<uint8_t>&, size_t) {
            return std::vector<StationReply>{Chunk(file, false)};
        });
        std::thread release([&] {
            // Let the dispatcher go at, a little before or a little after the time-out.
            Sleep(wait - 3 + static_cast<DWORD>(round % 6));
            fake::BlockReplyStatus(false);
        });
        const int32_t loaded = Load();
        release.join();
        // Either the reply made it in time, or the load timed out and the file is gone.
        bool exists = false;
        ReadFileBack(path_, &exists);
        EXPECT_EQ(loaded == 1, exists);
        // A late reply goes to the window, as any reply outside a transaction.
        ksymtest::WaitPosted(window_, kNotifyMsg, loaded == 1 ? 0 : 200);
    }
}

// A channel closed on another thread while the loader waits for the station: the close
// wakes the loader, the load fails with 19, and what the loader holds (the retired context,
// its device) is released once; the address sanitizer watches for use after release.
TEST_F(SymbolLoaderTest, ACloseDuringEitherWaitEndsTheLoadAtOnce) {
    ksym::SetLoaderWaits(30000, 30000);
    const std::vector<uint8_t> file = SmallProject(kStationId);
    struct Case {
        const char* name;
        bool localFile;
        uint8_t lastRequest; // the telegram after which the station falls silent
    };
    for (const Case& c : {Case{"project-id wait", true, 0x11}, Case{"upload wait", false, 0x32}}) {
        SCOPED_TRACE(c.name);
        Reopen();
        const uint32_t contexts = ksym::LiveChannelContexts();
        DeleteFileA(path_.c_str());
        if (c.localFile) {
            ksymtest::WriteFile(path_, SmallProject(kLocalId));
        }
        // The upload's first chunk is stored; the station answers nothing after it.
        ScriptedStation station(channel_, [&](const std::vector<uint8_t>& telegram, size_t) {
            return telegram[0] == 0x31 ? std::vector<StationReply>{Chunk(Split(file, 2)[0], true)}
                                       : std::vector<StationReply>{};
        });
        const int32_t channel = channel_;
        std::thread closer([&] {
            ksymtest::Eventually(
                [&] { return !Sent().empty() && Sent().back()[0] == c.lastRequest; });
            KSymCloseChannel(channel);
        });
        int32_t loaded = -1;
        DWORD took = 0;
        {
            ksymtest::Watchdog watchdog(std::string("a load closed during its ") + c.name,
                                        std::chrono::seconds(20));
            const DWORD start = GetTickCount();
            loaded = Load();
            took = GetTickCount() - start;
        }
        const int32_t error = KClientGetLastError();
        closer.join();
        EXPECT_EQ(loaded, 0);
        EXPECT_EQ(error, KSYM_ERR_NO_SYMBOLS);
        EXPECT_LT(took, 10000u) << "the loader was not woken by the close";
        EXPECT_EQ(ksym::FindChannelContext(channel), nullptr);
        EXPECT_EQ(ksym::LiveChannelContexts(), contexts - 1) << "the retired context stayed";
        bool exists = false;
        const std::vector<uint8_t> left = ReadFileBack(path_, &exists);
        // The local file the station never called stale stays; a half-written one goes.
        EXPECT_EQ(exists, c.localFile);
        if (c.localFile) {
            EXPECT_EQ(left, SmallProject(kLocalId));
        }
    }
}

// A channel closed on another thread after the exchange, while the loader reads the file it
// got (the local one the station confirmed, or the one just uploaded): the load hands
// nothing out and fails with 19, and what it read goes with it (the address sanitizer
// watches for a table handed out and freed).
TEST_F(SymbolLoaderTest, ACloseWhileTheFileIsReadHandsNothingOut) {
    for (const bool localFile : {true, false}) {
        SCOPED_TRACE(localFile ? "the confirmed local file" : "the uploaded file");
        Reopen();
        DeleteFileA(path_.c_str());
        if (localFile) {
            ksymtest::WriteFile(path_, SmallProject(kLocalId));
        }
        ScriptedStation station(channel_, Station(SmallProject(kStationId), 2, kLocalId));
        static int32_t closing = -1;
        closing = channel_;
        ksym::SetLoaderReadHook([] {
            std::thread closer([] { KSymCloseChannel(closing); });
            closer.join();
        });
        SymbolEntry** symbols = reinterpret_cast<SymbolEntry**>(0x10);
        int32_t count = -5;
        int32_t loaded = -1;
        {
            ksymtest::Watchdog watchdog("a load closed while it reads its file",
                                        std::chrono::seconds(20));
            loaded = Load(&symbols, &count);
        }
        const int32_t error = KClientGetLastError();
        ksym::SetLoaderReadHook(nullptr);
        EXPECT_EQ(loaded, 0) << "symbols of a closed channel were handed out";
        EXPECT_EQ(error, KSYM_ERR_NO_SYMBOLS);
        EXPECT_EQ(symbols, reinterpret_cast<SymbolEntry**>(0x10)) << "an output was written";
        EXPECT_EQ(count, -5);
        EXPECT_EQ(ksym::FindChannelContext(closing), nullptr);
    }
}

TEST_F(SymbolLoaderTest, FilesValueAbsentGivesTheDefaultFolderAndIsStored) {
    ForgetConfiguration();
    const std::string folder = WindowsDirectory() + "\\Korvan Files";
    const std::string path = folder + "\\Upload\\PLANT1.sdb";
    DeleteFileA(path.c_str());
    const std::vector<uint8_t> file = SmallProject(kStationId);
    ScriptedStation station(channel_, Station(file, 1, kStationId));
    ASSERT_EQ(Load(), 1);
    EXPECT_EQ(FilesValue(), folder);
    EXPECT_EQ(ReadFileBack(path), file);
    DeleteFileA(path.c_str());
}

// "Files" as the query reads it into the 260-byte buffer that holds the default text. The
// query takes the bytes whatever their type; raw byte strings are stored as binary, since
// the POSIX registry file keeps every text value terminated.
TEST_F(SymbolLoaderTest, FilesValuesThatAreEmptyOrDoNotFit) {
    const std::string fallback = WindowsDirectory() + "\\Korvan Files";
    auto setRaw = [](DWORD type, const std::string& bytes) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, ksym::kConfigKey, &key), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, "Files", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    };
    auto storedSize = [] {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ksym::kConfigKey, 0, KEY_READ, &key),
                  ERROR_SUCCESS);
        DWORD size = 0;
        RegQueryValueExA(key, "Files", nullptr, nullptr, nullptr, &size);
        RegCloseKey(key);
        return size;
    };
    // A value of 0 bytes writes nothing into the buffer: the default stays, nothing is
    // stored. An empty text (the terminator alone) counts the same, so that the files do not
    // go to the root of the drive.
    setRaw(REG_BINARY, "");
    EXPECT_EQ(ksym::SymbolFolder(), fallback + "\\Upload");
    EXPECT_EQ(storedSize(), 0u);
    setRaw(REG_SZ, std::string(1, '\0'));
    EXPECT_EQ(ksym::SymbolFolder(), fallback + "\\Upload");
    EXPECT_EQ(storedSize(), 1u);
    // 260 bytes without a terminator leave no room for one: the value does not fit, and the
    // default replaces it.
    setRaw(REG_BINARY, std::string(260, 'x'));
    EXPECT_EQ(ksym::SymbolFolder(), fallback + "\\Upload");
    EXPECT_EQ(FilesValue(), fallback);
    // 259 characters and the terminator fit exactly.
    const std::string base = WindowsDirectory() + "\\";
    ASSERT_LT(base.size(), 200u);
    const std::string longest = base + std::string(259 - base.size(), 'y');
    setRaw(REG_SZ, longest + std::string(1, '\0'));
    EXPECT_EQ(ksym::SymbolFolder(), longest + "\\Upload");
    EXPECT_EQ(storedSize(), 260u);
    // Without its terminator a shorter text is taken as stored.
    setRaw(REG_BINARY, base + "Plant");
    EXPECT_EQ(ksym::SymbolFolder(), base + "Plant\\Upload");
}

TEST_F(SymbolLoaderTest, WithoutExchangeTheLoadFailsAndLeavesTheLocalFile) {
    const std::vector<uint8_t> local = SmallProject(kLocalId);
    ksymtest::WriteFile(path_, local);
    ksym::Settings().uploadEnabled = 0;
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    ksym::Settings().uploadEnabled = 1;

    // A context the load made itself has no event to hear replies on.
    EXPECT_EQ(KSymLoadSymbolsEx(4711, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    EXPECT_NE(ksym::FindChannelContext(4711), nullptr);
    EXPECT_EQ(KSymDeleteSymbols(4711), 1);
    ksym::RemoveChannelContext(4711, 1);

    // No project name: fails before anything is sent.
    fake::SetProjectName(nullptr);
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_SYMBOLS);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(ReadFileBack(path_), local);
}

TEST_F(SymbolLoaderTest, NoContextGives18AndClearsTheOutputs) {
    SymbolEntry** symbols = reinterpret_cast<SymbolEntry**>(0x1);
    int32_t count = 5;
    EXPECT_EQ(KSymLoadSymbolsEx(-1, nullptr, &symbols, &count, 0), 0);
    EXPECT_EQ(KClientGetLastError(), KSYM_ERR_NO_CONTEXT_SPACE);
    EXPECT_EQ(symbols, nullptr);
    EXPECT_EQ(count, 0);

    // Deleting the symbols of a channel without context answers 0 and records nothing.
    KClientSetLastError(1234);
    EXPECT_EQ(KSymDeleteSymbols(999), 0);
    EXPECT_EQ(KSymDeleteSymbols(-1), 0);
    EXPECT_EQ(KClientGetLastError(), 1234);
}

TEST_F(SymbolLoaderTest, DeleteSymbolsReleasesTheTableAndKeepsTheChannel) {
    ScriptedStation station(channel_, Station(SmallProject(kStationId), 1, kStationId));
    ASSERT_EQ(KSymLoadSymbols(channel_, "", nullptr, nullptr), 1);
    ksym::ChannelContext* context = ksym::FindChannelContext(channel_);
    ASSERT_NE(context->symbolIndex, nullptr);
    EXPECT_EQ(KSymDeleteSymbols(channel_), 1);
    EXPECT_EQ(ksym::FindChannelContext(channel_), context);
    EXPECT_EQ(context->symbolIndex, nullptr);
    EXPECT_EQ(context->symbols, nullptr);
    EXPECT_EQ(context->symbolCount, 0);

    // The debug lines, and the swap flag asked of the client for KSymLoadSymbols.
    std::vector<std::string> lines;
    for (const fake::DebugLine& line : fake::DebugLines()) {
        lines.push_back(line.text);
    }
    const std::string c = std::to_string(channel_);
    EXPECT_THAT(lines, ::testing::IsSupersetOf({"KSymLoadSymbols(C=" + c + ")\n",
                                                "KSymLoadSymbolsEx(C=" + c + ")\n",
                                                "KSymDeleteSymbols(C=" + c + ")\n"}));
    EXPECT_THAT(fake::DWordQueries(), ::testing::Contains(3));
}

TEST(SymbolFilePathTest, FileNameReplacesTheLastDotAndKeepsOnlyTheLastComponent) {
    EXPECT_EQ(ksym::SymbolFileName("PLANT1.PRO"), "PLANT1.sdb");
    EXPECT_EQ(ksym::SymbolFileName("PLANT1"), "PLANT1.sdb");
    EXPECT_EQ(ksym::SymbolFileName("A.B.C"), "A.B.sdb");
    EXPECT_EQ(ksym::SymbolFileName("..\\..\\Windows\\evil.pro"), "evil.sdb");
    EXPECT_EQ(ksym::SymbolFileName("../etc/passwd"), "passwd.sdb");
    EXPECT_EQ(ksym::SymbolFileName(".."), "..sdb");
    EXPECT_EQ(ksym::SymbolFileName("x/.."), "..sdb");
    EXPECT_EQ(ksym::SymbolFileName("C:evil.pro"), "evil.sdb");
    EXPECT_EQ(ksym::SymbolFileName(""), ".sdb");
}

} // namespace
