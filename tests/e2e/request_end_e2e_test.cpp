// Every request ends in exactly one message, whatever deletion or re-open runs beside it,
// with the real client library and its embedded simulator on real threads. Each sequence
// is looped so that the replies land in every window of the steps, under a watchdog.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "extern/kclient.h"
#include "include/ksymbol.h"
#include "plcsim/memory.h"
#include "support/message_wait.h"
#include "support/watchdog.h"
#include "formats/direct_address.h"

namespace {

using ksymtest::kNotifyMsg;
using ksymtest::NothingPosted;
using ksymtest::Posted;
using ksymtest::WaitPosted;
using ksymtest::Watchdog;

constexpr auto kLoopLimit = std::chrono::seconds(120);
constexpr int32_t kReopenBase = 0x10000000;

// Seven double words from %MD<first> on: three telegrams at a block size of 64 bytes.
std::vector<std::string> SevenWords(uint32_t first) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < 7; ++i) {
        names.push_back("%MD" + std::to_string(first + i));
    }
    return names;
}

class RequestEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ksymtest::UseOwnMachine();
        window_ = CreateWindowExA(0, "STATIC", "ends", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        if (channel_ != -1) {
            KSymCloseChannel(channel_);
        }
        DestroyWindow(window_);
    }

    // A channel to the simulator with its symbols loaded (direct addresses need a table).
    void Open(const char* station) {
        channel_ = KSymOpenChannel(station, 0, window_, kNotifyMsg);
        ASSERT_NE(channel_, -1);
        ASSERT_EQ(KSymLoadSymbols(channel_, nullptr, nullptr, nullptr), 1);
    }

    HVARLIST Define(const std::vector<std::string>& names) {
        std::vector<const char*> pointers;
        for (const std::string& name : names) {
            pointers.push_back(name.c_str());
        }
        return KSymDefineVarList(channel_, pointers.data(), static_cast<uint32_t>(names.size()));
    }

    // The next message; a message with wParam 0 (no status) is never one to be posted.
    Posted Next(int iteration) {
        const auto posted = WaitPosted(window_, kNotifyMsg);
        if (!posted) {
            ADD_FAILURE() << "iteration " << iteration << ": a request got no message";
            return Posted{0, 0};
        }
        EXPECT_NE(posted->wParam, 0u) << "iteration " << iteration;
        return *posted;
    }

    // Waits for the completion of a read of seven variables and checks that every value the
    // list holds is the simulator's for the list's own addresses.
    void ExpectOwnValues(HVARLIST list, uint32_t first, int iteration) {
        const Posted done = Next(iteration);
        ASSERT_EQ(done.wParam, static_cast<WPARAM>(COMM_MESSAGEREADY)) << iteration;
        ASSERT_EQ(done.lParam, static_cast<LPARAM>(10 * 7 + 6)) << iteration;
        KSymEnterVarListAccess(channel_, list);
        VarValue** values = nullptr;
        uint32_t count = 0;
        ASSERT_EQ(KSymGetValues(channel_, list, &values, &count), 1);
        EXPECT_EQ(count, 7u);
        for (uint32_t i = 0; i < count; ++i) {
            ASSERT_EQ(values[i]->valid, 1) << iteration << ": value " << i;
            for (uint32_t b = 0; b < 4; ++b) {
                ASSERT_EQ(values[i]->data[b],
                          plcsim::InitialMemoryByte(formats::kAreaMemory, 4 * (first + i) + b))
                    << "iteration " << iteration << ": value " << i
                    << " holds another variable's bytes";
            }
        }
        KSymLeaveVarListAccess(channel_, list);
    }

    HWND window_ = nullptr;
    int32_t channel_ = -1;
};

// A re-open renumbers the channel while replies are being delivered: the notification
// thread may wake and fetch under the old number just then. No reply may stay behind, and
// the empty fetch is nobody's message.
TEST_F(RequestEndToEnd, ReopensWhileRepliesAreDeliveredLeaveNoReplyBehind) {
    channel_ = KSymOpenChannel("sim", 0, window_, kNotifyMsg);
    ASSERT_NE(channel_, -1);
    Watchdog watchdog("logins across re-opens", kLoopLimit);
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(KSymLogin(channel_), 1) << i;
        const int32_t moved = KSymOpenChannel("sim", kReopenBase + channel_, window_, kNotifyMsg);
        ASSERT_NE(moved, -1) << i;
        channel_ = moved;
        const Posted login = Next(i);
        ASSERT_EQ(login.wParam, static_cast<WPARAM>(COMM_MESSAGEREADY)) << i;
        ASSERT_EQ(login.lParam, 2) << i;
        EXPECT_EQ(KSymLoginResult(channel_), 1) << i;
    }
    EXPECT_TRUE(NothingPosted(window_));
}

// A read of three telegrams ended by deleting another list, with or without the caller
// holding the reading list (its reply step then waits for the caller, and goes on when the
// caller lets go): it ends in one message (its completion, or the reply of its telegram on
// the wire), after which the channel reads at once, and every value read is the list's own.
TEST_F(RequestEndToEnd, AReadEndedByDeletingAnotherListEndsInOneMessage) {
    Open("sim:block=64");
    HVARLIST reading = Define(SevenWords(0));
    ASSERT_NE(reading, nullptr);
    Watchdog watchdog("reads ended by deletions", kLoopLimit);
    for (const bool holding : {false, true}) {
        SCOPED_TRACE(holding ? "holding the list" : "not holding it");
        for (int i = 0; i < 250; ++i) {
            HVARLIST other = Define({"%MB1"});
            ASSERT_NE(other, nullptr);
            if (holding) {
                KSymEnterVarListAccess(channel_, reading);
            }
            ASSERT_EQ(KSymSendVarList(channel_, reading), 1) << i << ": " << KClientGetLastError();
            // Now and then a little later, so that the deletion meets every step of the read.
            std::this_thread::sleep_for(std::chrono::microseconds(37 * (i % 11)));
            ASSERT_EQ(KSymDeleteVarList(channel_, other), 1);
            if (holding) {
                KSymLeaveVarListAccess(channel_, reading);
            }
            const Posted ended = Next(i);
            ASSERT_EQ(ended.wParam, static_cast<WPARAM>(COMM_MESSAGEREADY)) << i;
            // Its one message came: nothing of it is on the wire any more.
            ASSERT_EQ(KSymSendVarList(channel_, reading), 1) << i << ": " << KClientGetLastError();
            ExpectOwnValues(reading, 0, i);
        }
    }
    EXPECT_TRUE(NothingPosted(window_));
    KSymDeleteVarList(channel_, reading);
}

// A new read of another list started at once after a read was ended: it is refused until
// the ended read's message came, or it follows a read that was over already. Either way
// the new list's values are its own, never the ended read's late replies.
TEST_F(RequestEndToEnd, ANewReadNeverTakesAnEndedReadsReplies) {
    Open("sim:block=64");
    HVARLIST ended = Define(SevenWords(0));
    HVARLIST next = Define(SevenWords(100)); // the same telegrams, other addresses
    ASSERT_NE(ended, nullptr);
    ASSERT_NE(next, nullptr);
    Watchdog watchdog("new reads after ended ones", kLoopLimit);
    int refused = 0;
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(KSymSendVarList(channel_, ended), 1) << i << ": " << KClientGetLastError();
        std::this_thread::sleep_for(std::chrono::microseconds(29 * (i % 13)));
        ASSERT_EQ(KSymDeleteVarList(channel_, Define({"%MB1"})), 1);
        if (KSymSendVarList(channel_, next) == 0) {
            ASSERT_EQ(KClientGetLastError(), KSYM_ERR_READ_PENDING) << i;
            ++refused;
            EXPECT_EQ(Next(i).wParam, static_cast<WPARAM>(COMM_MESSAGEREADY)) << i;
            ASSERT_EQ(KSymSendVarList(channel_, next), 1) << i;
        } else {
            // The ended read was over before the new one began: its message comes first.
            EXPECT_EQ(Next(i).wParam, static_cast<WPARAM>(COMM_MESSAGEREADY)) << i;
        }
        ExpectOwnValues(next, 100, i);
    }
    EXPECT_TRUE(NothingPosted(window_));
    EXPECT_GT(refused, 0) << "no read was ever ended with a telegram on the wire";
    KSymDeleteVarList(channel_, ended);
    KSymDeleteVarList(channel_, next);
}

} // namespace
