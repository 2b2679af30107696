#include <gtest/gtest.h>

#include "formats/station_frame.h"

namespace {

using formats::EncodeFrame;
using formats::Frame;
using formats::FrameKind;
using formats::FrameReader;

TEST(StationFrame, FramesSurviveAnyCutOfTheStream) {
    const uint8_t telegram[] = {0x2E, 0, 1, 0, 0, 0};
    std::vector<uint8_t> stream = EncodeFrame(FrameKind::Request, 0x0102, telegram, 6);
    EXPECT_EQ(stream, (std::vector<uint8_t>{10, 0, 0, 0, 3, 0, 2, 1, 0x2E, 0, 1, 0, 0, 0}));
    const std::vector<uint8_t> empty = EncodeFrame(FrameKind::Reply, 7, nullptr, 0);
    stream.insert(stream.end(), empty.begin(), empty.end());
    // Fed one byte at a time, then all at once: the same two frames.
    for (const size_t step : {size_t{1}, stream.size()}) {
        FrameReader reader;
        std::vector<Frame> frames;
        for (size_t at = 0; at < stream.size(); at += step) {
            reader.Feed(stream.data() + at, std::min(step, stream.size() - at));
            Frame frame;
            FrameReader::Result result;
            while ((result = reader.Next(frame)) == FrameReader::Result::Frame) {
                frames.push_back(frame);
            }
            ASSERT_EQ(result, FrameReader::Result::NeedMore);
        }
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0].kind, FrameKind::Request);
        EXPECT_EQ(frames[0].session, 0x0102);
        EXPECT_EQ(frames[0].payload, std::vector<uint8_t>(telegram, telegram + 6));
        EXPECT_EQ(frames[1].kind, FrameKind::Reply);
        EXPECT_EQ(frames[1].session, 7);
        EXPECT_TRUE(frames[1].payload.empty());
    }
}

TEST(StationFrame, LyingLengthsUnknownKindsAndSpareBytesBreakTheStream) {
    const std::vector<std::vector<uint8_t>> broken = {
        {3, 0, 0, 0, 3, 0, 0},                // shorter than its header
        {0, 0, 0, 0},                         // no header at all
        {0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0}, // far beyond the largest frame
        {4, 0, 0, 0, 9, 0, 0, 0},             // unknown kind
        {4, 0, 0, 0, 0, 0, 0, 0},             // kind 0
        {4, 0, 0, 0, 3, 1, 0, 0},             // spare byte set
    };
    for (const auto& bytes : broken) {
        FrameReader reader;
        reader.Feed(bytes.data(), bytes.size());
        Frame frame;
        EXPECT_EQ(reader.Next(frame), FrameReader::Result::Broken);
        // Broken for good: good bytes after it are not taken.
        const std::vector<uint8_t> good = EncodeFrame(FrameKind::Close, 0, nullptr, 0);
        reader.Feed(good.data(), good.size());
        EXPECT_EQ(reader.Next(frame), FrameReader::Result::Broken);
    }
    // The largest body is accepted as a length and waited for.
    FrameReader reader;
    const uint32_t largest = formats::kMaxFrameBody;
    const uint8_t header[] = {static_cast<uint8_t>(largest),
                              static_cast<uint8_t>(largest >> 8),
                              static_cast<uint8_t>(largest >> 16),
                              static_cast<uint8_t>(largest >> 24),
                              4,
                              0,
                              0,
                              0};
    reader.Feed(header, sizeof header);
    Frame frame;
    EXPECT_EQ(reader.Next(frame), FrameReader::Result::NeedMore);
}

TEST(StationFrame, OpenedCarriesOrderBlockSizeAndProjectName) {
    const std::vector<uint8_t> payload = formats::OpenedPayload(true, 512, "SAMPLE.PRO");
    bool big = false;
    uint32_t block = 0;
    std::string name;
    ASSERT_TRUE(formats::ParseOpened(payload, big, block, name));
    EXPECT_TRUE(big);
    EXPECT_EQ(block, 512u);
    EXPECT_EQ(name, "SAMPLE.PRO");
    EXPECT_FALSE(formats::ParseOpened({1, 0, 0, 0}, big, block, name));
    EXPECT_FALSE(formats::ParseOpened({2, 0, 0, 0, 0}, big, block, name));
}

} // namespace
