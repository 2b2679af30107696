// The listen rule of the serving tools: which hosts count as loopback, and HOST:PORT.
#include <gtest/gtest.h>

#include "tools/common/listen_address.h"

namespace {

using ksymtool::IsLoopbackHost;
using ksymtool::SplitListen;

TEST(ListenAddress, OnlyLoopbackHostsCountAsLoopback) {
    for (const char* host :
         {"127.0.0.1", "127.255.255.254", "127.0.0.0", "localhost", "LocalHost", "::1"}) {
        EXPECT_TRUE(IsLoopbackHost(host)) << host;
    }
    for (const char* host :
         {"", "0.0.0.0", "128.0.0.1", "126.0.0.1", "10.0.0.1", "127.0.0", "127.0.0.1.5",
          "127.0.0.256", "1270.0.0.1", "127.0.0.1 ", "127..0.1", "::", "::2", "::ffff:127.0.0.1",
          "localhost.example", "localhos", "localhostx", "example.com"}) {
        EXPECT_FALSE(IsLoopbackHost(host)) << host;
    }
}

TEST(ListenAddress, SplitsHostAndPort) {
    std::string host;
    uint16_t port = 1;
    ASSERT_TRUE(SplitListen("127.0.0.1:8080", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 8080);
    ASSERT_TRUE(SplitListen("[::1]:0", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 0);
    ASSERT_TRUE(SplitListen("localhost:65535", host, port));
    EXPECT_EQ(port, 65535);
    for (const char* bad :
         {"127.0.0.1", "127.0.0.1:", ":80", "host:65536", "host:123456", "host:8o", "host:-1"}) {
        EXPECT_FALSE(SplitListen(bad, host, port)) << bad;
    }
}

} // namespace
