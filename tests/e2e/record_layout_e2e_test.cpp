// The records callers read in place (SymbolEntry, VarValue, ProjectInfo), read the way a
// caller in C or another language does: by byte offsets from the record's start, never
// through the struct. On a 32-bit build the offsets are exactly the interface's (pointers of
// 4 bytes: a SymbolEntry of 20 bytes, a ProjectInfo of 28); on a 64-bit build the pointers
// take 8 bytes and the fields after them move along. The records are the ones the library
// handed out after a real load, a real read and a real identification.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "extern/kclient.h"
#include "include/ksymbol.h"
#include "plcsim/memory.h"
#include "support/message_wait.h"

namespace {

using ksymtest::kNotifyMsg;
using ksymtest::WaitPosted;

constexpr size_t kPointer = sizeof(void*);

// SymbolEntry: name, typeName, then byte-packed area (2), offset (4), size (4), tag (2).
constexpr size_t kEntryName = 0;
constexpr size_t kEntryTypeName = kPointer;
constexpr size_t kEntryArea = 2 * kPointer;
constexpr size_t kEntryOffset = 2 * kPointer + 2;
constexpr size_t kEntrySize = 2 * kPointer + 6;
constexpr size_t kEntryTag = 2 * kPointer + 10;
constexpr size_t kEntryLength = 2 * kPointer + 12;
// VarValue: replyWord (4), valid (1), then the value.
constexpr size_t kValueReplyWord = 0;
constexpr size_t kValueValid = 4;
constexpr size_t kValueData = 5;
// ProjectInfo: two 32-bit numbers, then five text pointers.
constexpr size_t kInfoProjectId = 0;
constexpr size_t kInfoNumber = 4;
constexpr size_t kInfoTexts = 8;

// The field of type T at `offset` bytes into `record`.
template <typename T> T At(const void* record, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof value);
    return value;
}

class RecordLayoutEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ksymtest::UseOwnMachine();
        window_ = CreateWindowExA(0, "STATIC", "e2e", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
        ASSERT_NE(window_, nullptr);
        // The memory's pattern, so that every value can be recomputed.
        channel_ = KSymOpenChannel("sim:values=pattern", 0, window_, kNotifyMsg);
        ASSERT_NE(channel_, -1);
    }
    void TearDown() override {
        KSymCloseChannel(channel_);
        DestroyWindow(window_);
    }

    HWND window_ = nullptr;
    int32_t channel_ = -1;
};

TEST_F(RecordLayoutEndToEnd, SymbolEntriesAtTheirByteOffsets) {
    if (kPointer == 4) {
        EXPECT_EQ(kEntryLength, 20u);
        EXPECT_EQ(kEntryOffset, 10u);
    }
    SymbolEntry** symbols = nullptr;
    int32_t count = 0;
    ASSERT_EQ(KSymLoadSymbols(channel_, nullptr, &symbols, &count), 1);
    ASSERT_GE(count, 2);
    // The array handed out is one pointer per symbol; the entries lie back to back, each as
    // long as the packed record, in file order.
    const void* first = At<const void*>(symbols, 0);
    const void* second = At<const void*>(symbols, kPointer);
    EXPECT_EQ(static_cast<const unsigned char*>(second) - static_cast<const unsigned char*>(first),
              static_cast<std::ptrdiff_t>(kEntryLength));
    bool found = false;
    for (int32_t i = 0; i < count; ++i) {
        const void* entry = At<const void*>(symbols, static_cast<size_t>(i) * kPointer);
        const char* name = At<const char*>(entry, kEntryName);
        if (std::strcmp(name, "Line1.Station2.Motor1.ActualSpeed") != 0) {
            continue;
        }
        found = true;
        EXPECT_STREQ(At<const char*>(entry, kEntryTypeName), "INT");
        EXPECT_EQ(At<uint16_t>(entry, kEntryArea), 1u);
        EXPECT_EQ(At<uint32_t>(entry, kEntryOffset), 8u);
        EXPECT_EQ(At<uint32_t>(entry, kEntrySize), 2u);
        // The tag is copied from the file as it stands; the struct sees the same bytes.
        const auto* record = static_cast<const SymbolEntry*>(entry);
        EXPECT_EQ(At<uint8_t>(entry, kEntryTag), record->tag[0]);
        EXPECT_EQ(At<uint8_t>(entry, kEntryTag + 1), record->tag[1]);
    }
    EXPECT_TRUE(found);
}

TEST_F(RecordLayoutEndToEnd, ValueRecordsAtTheirByteOffsets) {
    ASSERT_EQ(KSymLoadSymbols(channel_, nullptr, nullptr, nullptr), 1);
    const char* names[] = {"Line1.Station2.Motor1.ActualSpeed", "%MX0.1", "%MB3", "%QD2"};
    HVARLIST list = KSymDefineVarList(channel_, names, 4);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(KSymSendVarList(channel_, list), 1);
    const auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    ASSERT_EQ(posted->wParam, static_cast<WPARAM>(COMM_MESSAGEREADY));
    KSymEnterVarListAccess(channel_, list);
    VarValue** values = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(KSymGetValues(channel_, list, &values, &count), 1);
    ASSERT_EQ(count, 4u);
    // The simulator's memory at a fresh start, in its (the host's) order.
    const std::vector<std::vector<uint8_t>> expected = {
        {plcsim::InitialMemoryByte(1, 8), plcsim::InitialMemoryByte(1, 9)},
        {static_cast<uint8_t>((plcsim::InitialMemoryByte(0, 0) >> 1) & 1u)},
        {plcsim::InitialMemoryByte(0, 3)},
        {plcsim::InitialMemoryByte(2, 8), plcsim::InitialMemoryByte(2, 9),
         plcsim::InitialMemoryByte(2, 10), plcsim::InitialMemoryByte(2, 11)},
    };
    uint32_t firstWord = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const void* value = At<const void*>(values, i * kPointer);
        EXPECT_EQ(At<uint8_t>(value, kValueValid), 1u);
        const uint32_t word = At<uint32_t>(value, kValueReplyWord);
        firstWord = i == 0 ? word : firstWord;
        EXPECT_EQ(word, firstWord) << "one telegram, one reply word";
        EXPECT_EQ(word, static_cast<const VarValue*>(value)->replyWord);
        const auto* data = static_cast<const unsigned char*>(value) + kValueData;
        EXPECT_EQ(std::vector<uint8_t>(data, data + expected[i].size()), expected[i]);
    }
    EXPECT_NE(firstWord, 0u);
    KSymLeaveVarListAccess(channel_, list);
    KSymDeleteVarList(channel_, list);
}

TEST_F(RecordLayoutEndToEnd, TheProjectRecordAtItsByteOffsets) {
    ASSERT_EQ(KSymPLCProjectId(channel_), 1);
    const auto posted = WaitPosted(window_, kNotifyMsg);
    ASSERT_TRUE(posted);
    uint32_t id = 0;
    ASSERT_EQ(KSymPLCProjectIdResult(channel_, &id), 1);
    const ProjectInfo* info = KSymGetProjectInfo(channel_);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(At<uint32_t>(info, kInfoProjectId), id);
    EXPECT_EQ(At<uint32_t>(info, kInfoProjectId), 0x2026120Bu);
    EXPECT_EQ(At<uint32_t>(info, kInfoNumber), 7u);
    const char* const texts[] = {info->infoText1, info->infoText2, info->infoText3, info->infoText4,
                                 info->infoText5};
    for (size_t k = 0; k < 5; ++k) {
        const char* text = At<const char*>(info, kInfoTexts + k * kPointer);
        ASSERT_NE(text, nullptr) << k;
        EXPECT_EQ(text, texts[k]) << k;
    }
    EXPECT_STREQ(At<const char*>(info, kInfoTexts), info->infoText1);
    if (kPointer == 4) {
        EXPECT_EQ(kInfoTexts + 5 * kPointer, 28u);
    }
}

} // namespace
