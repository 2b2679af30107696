// The listen rule of the serving tools: which hosts count as loopback.
#include <gtest/gtest.h>

#include "tools/common/listen_address.h"

namespace {

using ksymtool::IsLoopbackHost;

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

} // namespace
