// The upload service of the simulated controller, driven directly through Controller and
// Session.
#include <gtest/gtest.h>

#include <memory>

#include "plcsim/controller.h"
#include "plcsim_test_support.h"

namespace {

using formats::ByteOrder;
using plcsimtest::kNextChunk;
using plcsimtest::ParseChunk;
using plcsimtest::UploadRequest;
using Bytes = std::vector<uint8_t>;

std::shared_ptr<const Bytes> Pattern(size_t size, uint8_t seed) {
    auto bytes = std::make_shared<Bytes>(size);
    for (size_t i = 0; i < size; ++i) {
        (*bytes)[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return bytes;
}

// A controller whose project's file is `file`.
std::unique_ptr<plcsim::Controller> Holding(std::shared_ptr<const Bytes> file, uint32_t chunk,
                                            ByteOrder order = ByteOrder::Little) {
    auto controller = std::make_unique<plcsim::Controller>();
    plcsim::Config config;
    config.chunkSize = chunk;
    config.order = order;
    std::string error;
    EXPECT_TRUE(controller->Configure(config, error)) << error;
    plcsim::Project project = plcsim::SampleProject();
    project.sdb = std::move(file);
    controller->SwitchProject(project);
    return controller;
}

Bytes Ask(plcsim::Controller& controller, plcsim::Session& session, const Bytes& request) {
    return controller.Handle(session, request.data(), request.size()).reply;
}

const Bytes kRequest = UploadRequest("DOWNLOAD.SDB", ByteOrder::Little);
const Bytes kRefused = {1, 0, 0, 0, 0, 0};

TEST(UploadServiceTest, ThreeChunksInEitherByteOrderReassembleTheFile) {
    for (ByteOrder order : {ByteOrder::Little, ByteOrder::Big}) {
        SCOPED_TRACE(order == ByteOrder::Big ? "big" : "little");
        const auto file = Pattern(250, 3);
        auto controller = Holding(file, 100, order);
        plcsim::Session session;
        Bytes reply = Ask(*controller, session, UploadRequest("DOWNLOAD.SDB", order));
        // status 0, more 1, length 100, in the controller's order.
        ASSERT_GE(reply.size(), 6u);
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), order == ByteOrder::Big
                                                               ? Bytes({0, 0, 0, 1, 0, 100})
                                                               : Bytes({0, 0, 1, 0, 100, 0}));
        Bytes assembled;
        std::vector<uint32_t> mores;
        for (int i = 0; i < 3; ++i) {
            auto chunk = ParseChunk(i == 0 ? reply : Ask(*controller, session, kNextChunk), order);
            ASSERT_TRUE(chunk);
            EXPECT_EQ(chunk->status, 0);
            mores.push_back(chunk->more);
            assembled.insert(assembled.end(), chunk->data.begin(), chunk->data.end());
        }
        EXPECT_EQ(mores, (std::vector<uint32_t>{1, 1, 0}));
        EXPECT_EQ(assembled, *file);
        // The last chunk ended the upload.
        EXPECT_EQ(Ask(*controller, session, kNextChunk),
                  order == ByteOrder::Big ? Bytes({0, 1, 0, 0, 0, 0}) : kRefused);
    }
}

TEST(UploadServiceTest, ChunkBoundariesEmptyFilesAndChunkSizes) {
    // Exactly two chunks end with the second: no empty third chunk.
    auto exact = Holding(Pattern(200, 1), 100);
    plcsim::Session session;
    EXPECT_EQ(ParseChunk(Ask(*exact, session, kRequest), ByteOrder::Little).value().more, 1);
    auto last = ParseChunk(Ask(*exact, session, kNextChunk), ByteOrder::Little);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->more, 0);
    EXPECT_EQ(last->data.size(), 100u);

    // An empty file: one chunk, more 0, length 0.
    auto empty = Holding(std::make_shared<const Bytes>(), 100);
    EXPECT_EQ(Ask(*empty, session, kRequest), Bytes({0, 0, 0, 0, 0, 0}));

    // The data length field has 16 bits: chunk sizes beyond it, or 0, are refused.
    plcsim::Controller controller;
    plcsim::Config config;
    std::string error;
    for (uint32_t chunk : {0u, 0x10000u}) {
        config.chunkSize = chunk;
        EXPECT_FALSE(controller.Configure(config, error)) << chunk;
    }
}

TEST(UploadServiceTest, MalformedOrUnservableRequestsAreRefused) {
    auto controller = Holding(Pattern(300, 5), 100);
    ASSERT_EQ(kRequest.size(), 18u); // 4 + "DOWNLOAD.SDB" + zero + pad
    Bytes unpadded = kRequest;       // counts the zero but not the pad
    unpadded[2] = 13;
    unpadded.pop_back();
    Bytes trailing = kRequest;
    trailing.push_back(0);
    Bytes badPad = kRequest;
    badPad[17] = 'x'; // the pad byte (an index, not back(): gcc's -O3 bounds check misreads it)
    Bytes secondByte = kRequest;
    secondByte[1] = 1;
    const Bytes refused[] = {
        UploadRequest("UPLOAD.SDB", ByteOrder::Little),
        UploadRequest("", ByteOrder::Little),
        UploadRequest("DOWNLOAD.SDB", ByteOrder::Big), // the count in the other order
        {0x31, 0, 14},
        {0x31, 0, 2, 0, 'A', 'B'}, // no terminator
        unpadded,
        trailing,
        badPad,
        secondByte,
    };
    for (const Bytes& request : refused) {
        SCOPED_TRACE(::testing::PrintToString(request));
        plcsim::Session session;
        EXPECT_EQ(Ask(*controller, session, request), kRefused);
        EXPECT_EQ(session.upload, nullptr);
    }

    // Any case of the name is served; a refusal (0x32 of two bytes) ends the upload.
    plcsim::Session session;
    EXPECT_EQ(Ask(*controller, session, UploadRequest("download.sdb", ByteOrder::Little))[0], 0);
    EXPECT_EQ(Ask(*controller, session, {0x32, 0}), kRefused);
    EXPECT_EQ(Ask(*controller, session, kNextChunk), kRefused) << "no upload in progress";

    plcsim::Project bare = plcsim::SampleProject();
    bare.sdb.reset();
    controller->SwitchProject(bare);
    EXPECT_EQ(Ask(*controller, session, kRequest), kRefused) << "a project without a file";
}

TEST(UploadServiceTest, SessionsKeepTheirOwnPositionAndSnapshot) {
    const auto first = Pattern(250, 1);
    const auto second = Pattern(40, 200);
    auto controller = Holding(first, 100);
    plcsim::Session a;
    plcsim::Session b;
    Bytes assembled;
    auto take = [&](const Bytes& request) {
        auto chunk = ParseChunk(Ask(*controller, a, request), ByteOrder::Little);
        ASSERT_TRUE(chunk);
        assembled.insert(assembled.end(), chunk->data.begin(), chunk->data.end());
    };
    take(kRequest);
    take(kNextChunk);
    // The project changes in the middle of a's upload; b starts on the new file.
    plcsim::Project switched = plcsim::SampleProject();
    switched.sdb = second;
    controller->SwitchProject(switched);
    auto other = ParseChunk(Ask(*controller, b, kRequest), ByteOrder::Little);
    take(kNextChunk);
    EXPECT_EQ(assembled, *first) << "the upload was torn by the project switch";
    ASSERT_TRUE(other);
    EXPECT_EQ(other->data, *second);
}

TEST(UploadServiceTest, FaultsShapeUploadReplies) {
    auto controller = Holding(Pattern(250, 2), 100);
    plcsim::Session session;
    controller->SetFault(plcsim::Fault::Refuse, true);
    EXPECT_EQ(Ask(*controller, session, kRequest), kRefused);
    controller->SetFault(plcsim::Fault::Refuse, false);
    // Short serves the chunk one byte short; silent and empty leave the upload where it was.
    controller->SetFault(plcsim::Fault::Short, true);
    EXPECT_EQ(Ask(*controller, session, kRequest).size(), 105u);
    controller->SetFault(plcsim::Fault::Short, false);
    for (plcsim::Fault fault : {plcsim::Fault::Silent, plcsim::Fault::Empty}) {
        controller->SetFault(fault, true);
        EXPECT_TRUE(Ask(*controller, session, kNextChunk).empty());
        controller->SetFault(fault, false);
    }
    auto next = ParseChunk(Ask(*controller, session, kNextChunk), ByteOrder::Little);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->data, Bytes(session.upload->begin() + 100, session.upload->begin() + 200));
}

} // namespace
