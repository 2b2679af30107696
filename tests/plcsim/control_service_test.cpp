// The simulator control service: switching the project and the faults of a running
// controller through any channel.
#include <gtest/gtest.h>

#include <set>

#include "plcsim/config.h"
#include "plcsim/controller.h"
#include "formats/sdb_writer.h"
#include "plcsim_test_support.h"

namespace {

using formats::ByteOrder;
using plcsimtest::ScratchFile;
using Bytes = std::vector<uint8_t>;

plcsim::Outcome Send(plcsim::Controller& controller, const std::string& command) {
    Bytes request = {0xF0};
    request.insert(request.end(), command.begin(), command.end());
    plcsim::Session session;
    return controller.Handle(session, request.data(), request.size());
}

plcsim::Outcome Send(plcsim::Controller& controller, const Bytes& request) {
    plcsim::Session session;
    return controller.Handle(session, request.data(), request.size());
}

// The identifier of the project-identification reply, after its status word.
uint32_t AnsweredId(plcsim::Controller& controller) {
    const Bytes reply = Send(controller, Bytes{0x11}).reply;
    return reply.size() < 6 ? 0 : formats::Get(reply.data() + 2, 4, ByteOrder::Big);
}

TEST(ControlServiceTest, SwitchesTheProjectAndRefusesWhatItCannotLoad) {
    plcsim::Controller controller;
    plcsim::Config config;
    config.order = ByteOrder::Big;
    std::string error;
    ASSERT_TRUE(controller.Configure(config, error)) << error;
    EXPECT_EQ(AnsweredId(controller), 0x2026120Bu);

    ScratchFile file(".sdb");
    formats::SdbProject other;
    other.projectId = 0x0A0B0C0D;
    const Bytes bytes = formats::WriteSdb(other);
    ASSERT_TRUE(formats::WriteFileBytes(file.path(), bytes, error)) << error;
    const Bytes accepted = {0, 0};
    const Bytes refused = {0, 1}; // big-endian status words
    EXPECT_EQ(Send(controller, "project=" + file.path()).reply, accepted);
    EXPECT_EQ(AnsweredId(controller), 0x0A0B0C0Du);
    ASSERT_NE(controller.GetProject().sdb, nullptr);
    EXPECT_EQ(*controller.GetProject().sdb, bytes) << "the file is served as read";

    // A file that is no SDB file, or none at all, is refused and the held project stays.
    ScratchFile newer(".sdb");
    Bytes version2 = bytes;
    version2[8] = 2;
    ASSERT_TRUE(formats::WriteFileBytes(newer.path(), version2, error));
    ScratchFile cut(".sdb");
    ASSERT_TRUE(
        formats::WriteFileBytes(cut.path(), Bytes(bytes.begin(), bytes.begin() + 15), error));
    for (const std::string& path : {newer.path(), cut.path(), file.path() + ".missing"}) {
        EXPECT_EQ(Send(controller, "project=" + path).reply, refused) << path;
    }
    EXPECT_EQ(AnsweredId(controller), 0x0A0B0C0Du);

    // Back to the sample; a terminating zero after the text is accepted.
    EXPECT_EQ(Send(controller, std::string("project=sample") + '\0').reply, accepted);
    EXPECT_EQ(AnsweredId(controller), 0x2026120Bu);
}

TEST(ControlServiceTest, EveryFaultOfTheTableHasItsOwnNameAndParsesBack) {
    std::set<std::string> names;
    for (const plcsim::FaultInfo& info : plcsim::kFaultTable) {
        SCOPED_TRACE(info.name);
        EXPECT_TRUE(names.insert(info.name).second) << "named twice";
        EXPECT_STREQ(plcsim::FaultName(info.fault), info.name);
        plcsim::Config config;
        std::string error;
        ASSERT_TRUE(plcsim::ParseConfig(std::string("fault=") + info.name, config, error)) << error;
        EXPECT_EQ(config.faults, std::set<plcsim::Fault>{info.fault});
        EXPECT_NE(plcsim::FaultHelp().find(std::string(info.name) + ": " + info.effect),
                  std::string::npos);
    }
    plcsim::Fault fault{};
    EXPECT_FALSE(plcsim::ParseFault("Silent", fault));
    EXPECT_FALSE(plcsim::ParseFault("", fault));
}

TEST(ControlServiceTest, SwitchesFaultsAndIsAnsweredWhileTheyAreOn) {
    plcsim::Controller controller;
    const Bytes accepted = {0, 0};
    const Bytes refused = {1, 0}; // little-endian status words
    // With every fault on, the control service still answers, unshortened.
    for (const char* fault : {"silent", "fatal", "empty", "short", "refuse"}) {
        EXPECT_EQ(Send(controller, std::string("fault=") + fault).reply, accepted) << fault;
    }
    EXPECT_EQ(Send(controller, Bytes{0x02}).kind, plcsim::Outcome::Kind::Silence);
    EXPECT_EQ(Send(controller, "clear=silent").reply, accepted);
    EXPECT_EQ(Send(controller, Bytes{0x02}).kind, plcsim::Outcome::Kind::FatalError);
    EXPECT_EQ(Send(controller, "clear=all").reply, accepted);
    EXPECT_EQ(Send(controller, Bytes{0x02}).reply, accepted) << "logout answers normally again";

    // Nothing unknown is silently ignored, and a refused command changes nothing.
    ASSERT_EQ(Send(controller, "fault=refuse").reply, accepted);
    for (const std::string& bad :
         {std::string("fault=nonsense"), std::string("clear=nonsense"), std::string("project="),
          std::string("latency=5"), std::string(""), std::string("fault=silent;clear=all"),
          std::string(" clear=all"), std::string("clear=all\n"),
          std::string("clear=all") + '\0' + '\0'}) {
        EXPECT_EQ(Send(controller, bad).reply, refused) << ::testing::PrintToString(bad);
    }
    EXPECT_EQ(controller.GetConfig().faults, (std::set<plcsim::Fault>{plcsim::Fault::Refuse}));
}

} // namespace
