// HOST:PORT, as the tcp: stations and the --listen addresses write it.
#include <gtest/gtest.h>

#include "formats/host_port.h"

namespace {

using formats::SplitHostPort;

TEST(HostPort, SplitsHostAndPort) {
    std::string host;
    uint16_t port = 1;
    ASSERT_TRUE(SplitHostPort("127.0.0.1:8080", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 8080);
    ASSERT_TRUE(SplitHostPort("[::1]:0", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 0);
    ASSERT_TRUE(SplitHostPort("localhost:65535", host, port));
    EXPECT_EQ(port, 65535);
    for (const char* bad :
         {"127.0.0.1", "127.0.0.1:", ":80", "host:65536", "host:123456", "host:8o", "host:-1"}) {
        EXPECT_FALSE(SplitHostPort(bad, host, port)) << bad;
    }
}

} // namespace
