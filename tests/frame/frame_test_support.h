// What the channel tests share: a fresh fake client, a message window on the test's thread,
// and bounded waits for the messages the notification thread posts.
#ifndef KSYM_TESTS_FRAME_FRAME_TEST_SUPPORT_H
#define KSYM_TESTS_FRAME_FRAME_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include "fakes/fake_kclient.h"
#include "platform/win32.h"
#include "support/message_wait.h"

namespace ksymtest {

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        window_ = CreateWindowExA(0, "STATIC", "ksym-test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        DestroyWindow(window_);
        fake::Reset();
    }

    HWND window_ = nullptr;
};

} // namespace ksymtest

#endif
