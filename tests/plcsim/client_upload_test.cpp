// The upload through the real client library: chunks travel over a channel's embedded
// simulator, and the upload in progress belongs to the channel.
#include <gtest/gtest.h>

#include "kclient/client_test_support.h"
#include "plcsim/project.h"
#include "plcsim_test_support.h"

namespace {

using formats::ByteOrder;
using plcsimtest::ParseChunk;
using Bytes = std::vector<uint8_t>;

TEST(ClientUploadTest, ChunkSequenceOverAChannelSurvivesReopenAndObeysControl) {
    ksymtest::SimChannel channel("sim:chunk=100");
    ASSERT_NE(channel.number(), -1);
    ksymtest::SimChannel other("sim:chunk=100");
    ASSERT_NE(other.number(), -1);

    // Asks on `on` and parses the upload reply that comes back.
    auto exchange = [](const ksymtest::SimChannel& on, const Bytes& request) {
        std::optional<plcsimtest::Chunk> chunk;
        EXPECT_TRUE(on.Send(request));
        auto reply = on.Fetch();
        EXPECT_TRUE(reply);
        if (reply) {
            EXPECT_EQ(reply->status, COMM_MESSAGEREADY);
            EXPECT_EQ(reply->value, reply->bytes.size());
            chunk = ParseChunk(reply->bytes, ByteOrder::Little);
        }
        return chunk;
    };

    const Bytes request = plcsimtest::UploadRequest("DOWNLOAD.SDB", ByteOrder::Little);
    Bytes assembled;
    std::optional<plcsimtest::Chunk> chunk = exchange(channel, request);
    size_t chunks = 0;
    while (chunk && chunk->status == 0) {
        ++chunks;
        assembled.insert(assembled.end(), chunk->data.begin(), chunk->data.end());
        if (chunk->more == 0) {
            break;
        }
        EXPECT_EQ(chunk->data.size(), 100u);
        if (chunks == 3) {
            // Another channel has no upload in progress: the position is per channel.
            auto stray = exchange(other, plcsimtest::kNextChunk);
            ASSERT_TRUE(stray);
            EXPECT_EQ(stray->status, 1);
            // A re-open keeps the channel's transport, and with it the upload.
            const int32_t moved = KClientOpenChannelEx("sim:chunk=100", channel.number(), nullptr,
                                                       0, channel.event());
            ASSERT_NE(moved, -1);
            channel.Renumber(moved);
        }
        ASSERT_LT(chunks, 1000u) << "the upload does not end";
        chunk = exchange(channel, plcsimtest::kNextChunk);
    }
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->status, 0);
    const plcsim::Project sample = plcsim::SampleProject();
    ASSERT_NE(sample.sdb, nullptr);
    EXPECT_EQ(chunks, (sample.sdb->size() + 99) / 100);
    EXPECT_EQ(assembled, *sample.sdb);

    // The control service reaches the channel's controller.
    const std::string refuse = "\xF0"
                               "fault=refuse";
    ASSERT_TRUE(channel.Send(Bytes(refuse.begin(), refuse.end())));
    auto status = channel.Fetch();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->bytes, (Bytes{0, 0}));
    auto refused = exchange(channel, request);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 1);
}

} // namespace
