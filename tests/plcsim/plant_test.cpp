// The plant of a project description: initial values and behaviours, parsed, then played
// into a controller's memory on a clock the test drives, in both byte orders; writes that
// stick until a behaviour's next event; the pattern without a plant.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "formats/byte_order.h"
#include "plcsim/controller.h"
#include "formats/sdb_description.h"
#include "formats/sdb_writer.h"
#include "formats/typed_value.h"

namespace {

using formats::ByteOrder;

const char kTypes[] = "project PLANT.PRO\n"
                      "id 7\n"
                      "type BOOL code 1 size 1\n"
                      "type BYTE code 2 size 1\n"
                      "type INT code 5 size 2\n"
                      "type DINT code 6 size 4\n"
                      "type REAL code 7 size 4\n"
                      "type LREAL code 7 size 8\n"
                      "type STR12 code 8 size 13\n"
                      "type INTARR3 code 9 size 6 base INT count 3\n"
                      "type DB4 code 11 size 4\n";

// A controller holding the project described by kTypes and `lines`, its clock manual at 0.
class PlantTest : public ::testing::TestWithParam<ByteOrder> {
protected:
    void Hold(const std::string& lines) {
        formats::SdbDescription description;
        std::string error;
        ASSERT_TRUE(formats::ParseSdbDescription(kTypes + lines, description, error)) << error;
        plcsim::Config config;
        config.order = GetParam();
        config.manualClock = true;
        ASSERT_TRUE(controller_.Configure(config, error)) << error;
        plcsim::Project project;
        project.fileName = description.projectName;
        project.sdb =
            std::make_shared<const std::vector<uint8_t>>(formats::WriteSdb(description.project));
        project.plant =
            std::make_shared<const formats::PlantDescription>(std::move(description.plant));
        plant_ = project.plant;
        controller_.SwitchProject(project);
    }

    // The value of a plant variable as a number, read from the memory in its order.
    double Value(const std::string& name) {
        const formats::PlantVariable& variable = Variable(name);
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(
            controller_.ReadMemory(variable.area, variable.offset, variable.shape.size, bytes));
        ToHost(bytes, formats::ByteOrderUnit(variable.shape));
        return formats::NumberOf(variable.shape, bytes.data());
    }
    std::vector<uint8_t> HostBytes(const std::string& name) {
        const formats::PlantVariable& variable = Variable(name);
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(
            controller_.ReadMemory(variable.area, variable.offset, variable.shape.size, bytes));
        ToHost(bytes, formats::ByteOrderUnit(variable.shape));
        return bytes;
    }
    // Writes a number through the write service, as a client does.
    void Write(const std::string& name, double number) {
        const formats::PlantVariable& variable = Variable(name);
        std::vector<uint8_t> value(variable.shape.size);
        formats::StoreNumber(variable.shape, number, value.data());
        ToHost(value, formats::ByteOrderUnit(variable.shape)); // host to station: the same swap
        std::vector<uint8_t> request = {0x3C, 0};
        formats::Put(request, 1, 4, GetParam());
        formats::Put(request, variable.area, 2, GetParam());
        formats::Put(request, variable.offset, 4, GetParam());
        formats::Put(request, variable.shape.size, 4, GetParam());
        request.insert(request.end(), value.begin(), value.end());
        request.push_back(0);
        plcsim::Session session;
        const plcsim::Outcome outcome = controller_.Handle(session, request.data(), request.size());
        ASSERT_EQ(outcome.reply.size(), 2u);
        EXPECT_EQ(formats::Get(outcome.reply.data(), 2, GetParam()), formats::kStatusOk);
    }
    // Moves the clock to `ms` from the plant's start.
    void At(uint32_t ms) {
        ASSERT_GE(ms, now_);
        controller_.AdvanceClock(ms - now_);
        now_ = ms;
    }

    const formats::PlantVariable& Variable(const std::string& name) {
        for (const formats::PlantVariable& variable : plant_->variables) {
            if (variable.name == name) {
                return variable;
            }
        }
        ADD_FAILURE() << "no plant variable " << name;
        return plant_->variables.front();
    }
    void ToHost(std::vector<uint8_t>& bytes, uint32_t unit) const {
        if (GetParam() == formats::HostOrder() || unit < 2) {
            return;
        }
        for (size_t at = 0; at + unit <= bytes.size(); at += unit) {
            std::reverse(bytes.begin() + static_cast<long>(at),
                         bytes.begin() + static_cast<long>(at + unit));
        }
    }

    plcsim::Controller controller_;
    std::shared_ptr<const formats::PlantDescription> plant_;
    uint32_t now_ = 0;
};

TEST_P(PlantTest, InitialValuesOfEveryKindInTheControllersOrder) {
    Hold("var B type BOOL area 3 offset 0\n"
         "var I type INT area 3 offset 2\n"
         "var D type DINT area 3 offset 4\n"
         "var R type REAL area 3 offset 8\n"
         "var L type LREAL area 3 offset 12\n"
         "var S type STR12 area 3 offset 20\n"
         "var A type INTARR3 area 3 offset 34\n"
         "var X type DB4 area 3 offset 40\n"
         "var N type INT area 3 offset 44\n"
         "init B true\n"
         "init I -1234\n"
         "init D 0x12345678\n"
         "init R 21.5\n"
         "init L -0.125\n"
         "init S \"Hello \\\"#1\\\"\"   # a quoted text keeps spaces and '#'\n"
         "init A 1,-2,300\n"
         "init X 0xdeadbeef\n");
    EXPECT_EQ(Value("B"), 1.0);
    EXPECT_EQ(Value("I"), -1234.0);
    EXPECT_EQ(Value("D"), static_cast<double>(0x12345678));
    EXPECT_EQ(Value("R"), 21.5);
    EXPECT_EQ(Value("L"), -0.125);
    const std::vector<uint8_t> text = HostBytes("S");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), "Hello \"#1\"");
    const std::vector<uint8_t> array = HostBytes("A");
    EXPECT_EQ(formats::LoadSigned(array.data(), 2), 1);
    EXPECT_EQ(formats::LoadSigned(array.data() + 2, 2), -2);
    EXPECT_EQ(formats::LoadSigned(array.data() + 4, 2), 300);
    EXPECT_EQ(HostBytes("X"), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF})) << "bytes as given";
    // A variable without a line keeps the memory's pattern.
    std::vector<uint8_t> pattern;
    ASSERT_TRUE(controller_.ReadMemory(3, 44, 2, pattern));
    EXPECT_EQ(pattern, (std::vector<uint8_t>{plcsim::InitialMemoryByte(3, 44),
                                             plcsim::InitialMemoryByte(3, 45)}));
}

TEST_P(PlantTest, RampsSinesCountersAndTogglesFollowTheClock) {
    Hold("var Ramp type INT area 3 offset 0\n"
         "var Sine type REAL area 3 offset 4\n"
         "var Count type INT area 3 offset 8\n"
         "var Wrap type BYTE area 3 offset 10\n"
         "var Blink type BOOL area 3 offset 11\n"
         "var Pulse type DINT area 3 offset 12\n"
         "init Count 10\n"
         "init Wrap 254\n"
         "init Blink false\n"
         "init Pulse 0\n"
         "ramp Ramp from 0 to 100 period 10\n"
         "sine Sine mean 20 amplitude 5 period 4\n"
         "counter Count step 3 every 1\n"
         "counter Wrap step 1 every 1\n"
         "toggle Blink every 2\n"
         "toggle Pulse every 0.5\n");
    EXPECT_EQ(Value("Ramp"), 0.0);
    EXPECT_EQ(Value("Sine"), 20.0);
    EXPECT_EQ(Value("Blink"), 0.0);
    At(1000);
    EXPECT_NEAR(Value("Sine"), 25.0, 1e-4);
    EXPECT_EQ(Value("Count"), 13.0);
    At(2500);
    EXPECT_EQ(Value("Ramp"), 25.0);
    EXPECT_EQ(Value("Count"), 16.0);
    EXPECT_EQ(Value("Wrap"), 0.0) << "254, 255, then round to 0";
    EXPECT_EQ(Value("Blink"), 1.0);
    At(3000);
    EXPECT_NEAR(Value("Sine"), 15.0, 1e-4);
    At(10000);
    EXPECT_EQ(Value("Ramp"), 100.0) << "the top";
    At(15000);
    EXPECT_EQ(Value("Ramp"), 50.0) << "on the way back";
    EXPECT_EQ(Value("Count"), 10.0 + 3 * 15);
    EXPECT_EQ(Value("Blink"), 1.0) << "7 flips";
    EXPECT_EQ(Value("Pulse"), 0.0) << "30 flips between 0 and 1";
    // An hour at once: every behaviour is computed, not stepped.
    At(15000 + 3600 * 1000);
    EXPECT_EQ(Value("Count"), 10.0 + 3 * (15 + 3600));
    EXPECT_EQ(Value("Ramp"), 50.0);
}

TEST_P(PlantTest, FollowersTrackTheirSourceAtOnceOrAtTheirRate) {
    Hold("var Button type BOOL area 1 offset 0\n"
         "var Lamp type BOOL area 2 offset 0\n"
         "var Enable type BOOL area 2 offset 1\n"
         "var Speed type INT area 2 offset 2\n"
         "var Running type BOOL area 1 offset 1\n"
         "var Actual type INT area 1 offset 2\n"
         "init Button false\n"
         "init Enable true\n"
         "init Speed 1000\n"
         "init Actual 0\n"
         "follow Lamp source Button\n"
         "follow Running source Enable\n"
         "follow Actual source Speed rate 100 while Enable\n");
    EXPECT_EQ(Value("Lamp"), 0.0);
    EXPECT_EQ(Value("Running"), 1.0);
    Write("Button", 1);
    At(10);
    EXPECT_EQ(Value("Lamp"), 1.0) << "a lamp follows its button at once";
    At(2010);
    EXPECT_EQ(Value("Actual"), 201.0) << "100 per second";
    At(20000);
    EXPECT_EQ(Value("Actual"), 1000.0) << "and stops at the speed";
    Write("Enable", 0);
    At(23000);
    EXPECT_EQ(Value("Running"), 0.0);
    EXPECT_EQ(Value("Actual"), 700.0) << "disabled, it runs down toward 0";
    // Small steps add up: a read every 3 ms still moves 100 per second.
    Write("Enable", 1);
    for (uint32_t t = 23003; t <= 24000; t += 3) {
        At(t);
    }
    EXPECT_NEAR(Value("Actual"), 800.0, 1.0);
}

TEST_P(PlantTest, WrittenValuesStickUntilTheBehavioursNextEvent) {
    Hold("var Ramp type INT area 3 offset 0\n"
         "var Sine type REAL area 3 offset 4\n"
         "var Count type INT area 3 offset 8\n"
         "var Blink type BOOL area 3 offset 10\n"
         "var Source type INT area 3 offset 12\n"
         "var Copy type INT area 3 offset 14\n"
         "ramp Ramp from 0 to 100 period 10\n"
         "sine Sine mean 20 amplitude 5 period 4\n"
         "counter Count step 1 every 1\n"
         "toggle Blink every 1\n"
         "follow Copy source Source\n");
    At(2500);
    Write("Ramp", 77);
    Write("Sine", -1);
    Write("Count", 50);
    Write("Blink", 1);
    Write("Copy", 5);
    At(3999);
    EXPECT_EQ(Value("Ramp"), 77.0);
    EXPECT_EQ(Value("Sine"), -1.0) << "until the next period";
    EXPECT_EQ(Value("Count"), 51.0) << "the count goes on from the written value";
    EXPECT_EQ(Value("Blink"), 0.0) << "and so does the toggle";
    EXPECT_EQ(Value("Copy"), 5.0) << "until the source changes";
    At(4000);
    EXPECT_NEAR(Value("Sine"), 20.0, 1e-4);
    At(9999);
    EXPECT_EQ(Value("Ramp"), 77.0) << "until the ramp turns";
    At(10000);
    EXPECT_EQ(Value("Ramp"), 100.0);
    Write("Source", 9);
    At(10001);
    EXPECT_EQ(Value("Copy"), 9.0);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, PlantTest,
                         ::testing::Values(ByteOrder::Little, ByteOrder::Big));

TEST(PlantDescriptionTest, LinesThatCannotBePlayedAreRefusedWithTheirLine) {
    const std::string declared = std::string(kTypes) + "var B type BOOL area 0 offset 0\n"
                                                       "var I type INT area 0 offset 2\n"
                                                       "var S type STR12 area 0 offset 4\n"
                                                       "var X type DB4 area 0 offset 20\n";
    const int first = 16; // the line of the case below
    const struct {
        const char* line;
        const char* message;
    } cases[] = {
        {"init Nothing 1", "variable 'Nothing' is not declared before this line"},
        {"init I 40000", "'40000' is not a value of variable 'I'"},
        {"init I 1 2", "'init' takes a variable and one value (quote a value with spaces)"},
        {"init S \"never ends", "a quoted word does not end"},
        {"init S \"far too long a text\"", "'far too long a text' is not a value of variable 'S'"},
        {"ramp S from 0 to 1 period 1", "variable 'S' does not hold a number"},
        {"ramp X from 0 to 1 period 1", "variable 'X' does not hold a number"},
        {"ramp B from 0 to 1 period 1", "a bool only toggles or follows"},
        {"ramp I from 0 to 1 period 0", "'period' needs seconds from 0.001 to 10000000, not '0'"},
        {"ramp I from 0 period 1", "'to' is missing"},
        {"sine I mean x amplitude 1 period 1", "'mean' needs a number, not 'x'"},
        {"counter I step 0.5 every 1", "an integer counts in whole steps"},
        {"follow I source I", "a variable cannot follow itself"},
        {"follow I source B rate 0", "'rate' must be above 0"},
        {"follow I source B while S", "variable 'S' does not hold a number"},
        {"toggle I every 1 speed 2", "unknown field 'speed'"},
    };
    for (const auto& c : cases) {
        formats::SdbDescription description;
        std::string error;
        EXPECT_FALSE(formats::ParseSdbDescription(declared + c.line + "\n", description, error))
            << c.line;
        EXPECT_EQ(error, std::to_string(first) + ": " + c.message) << c.line;
    }
    // One init and one behaviour per variable.
    formats::SdbDescription description;
    std::string error;
    EXPECT_FALSE(
        formats::ParseSdbDescription(declared + "init I 1\ninit I 2\n", description, error));
    EXPECT_EQ(error, "17: variable 'I' has an initial value already");
    EXPECT_FALSE(formats::ParseSdbDescription(declared + "toggle B every 1\nfollow B source I\n",
                                              description, error));
    EXPECT_EQ(error, "17: variable 'B' has a behaviour already");
    // The SDB file does not change with the plant's lines.
    formats::SdbDescription plain;
    formats::SdbDescription played;
    ASSERT_TRUE(formats::ParseSdbDescription(declared, plain, error)) << error;
    ASSERT_TRUE(
        formats::ParseSdbDescription(declared + "init I 5\ntoggle B every 1\n", played, error))
        << error;
    EXPECT_EQ(formats::WriteSdb(plain.project), formats::WriteSdb(played.project));
    EXPECT_EQ(played.plant.inits.size(), 1u);
    EXPECT_EQ(played.plant.behaviours.size(), 1u);
}

TEST(PlantControllerTest, PatternOptionControlClockAndDescriptionFiles) {
    const std::string path = ::testing::TempDir() + "plant_test.sdbdesc";
    {
        std::ofstream file(path);
        file << kTypes << "var I type INT area 3 offset 0\ninit I 300\n"
             << "counter I step 1 every 1\n";
    }
    // A description serves as the project file: its symbol file is built, its plant plays.
    plcsim::Config config;
    std::string error;
    ASSERT_TRUE(plcsim::ParseConfig("project=" + path + ";clock=manual", config, error)) << error;
    plcsim::Controller controller;
    ASSERT_TRUE(controller.Configure(config, error)) << error;
    EXPECT_EQ(controller.GetProject().fileName, "PLANT.PRO");
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(controller.ReadMemory(3, 0, 2, bytes));
    EXPECT_EQ(formats::LoadSigned(bytes.data(), 2), 300);
    // The control service moves a manual clock, and starts the plant over.
    auto control = [&](const std::string& command) {
        const std::string request = "\xF0" + command;
        plcsim::Session session;
        const plcsim::Outcome outcome = controller.Handle(
            session, reinterpret_cast<const uint8_t*>(request.data()), request.size());
        return formats::Get(outcome.reply.data(), 2, formats::ByteOrder::Little);
    };
    EXPECT_EQ(control("clock=+2000"), formats::kStatusOk);
    ASSERT_TRUE(controller.ReadMemory(3, 0, 2, bytes));
    EXPECT_EQ(formats::LoadSigned(bytes.data(), 2), 302);
    EXPECT_EQ(control("clock=manual"), formats::kStatusOk);
    ASSERT_TRUE(controller.ReadMemory(3, 0, 2, bytes));
    EXPECT_EQ(formats::LoadSigned(bytes.data(), 2), 300);
    EXPECT_EQ(control("clock=real"), formats::kStatusOk);
    EXPECT_EQ(control("clock=+10"), formats::kStatusRefused) << "a real clock is not moved";
    EXPECT_EQ(control("clock=fast"), formats::kStatusRefused);
    // With values=pattern the plant does not play.
    ASSERT_TRUE(plcsim::ParseConfig("project=" + path + ";values=pattern", config, error));
    ASSERT_TRUE(controller.Configure(config, error)) << error;
    ASSERT_TRUE(controller.ReadMemory(3, 0, 2, bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{plcsim::InitialMemoryByte(3, 0),
                                           plcsim::InitialMemoryByte(3, 1)}));
    EXPECT_FALSE(plcsim::ParseConfig("values=random", config, error));
    std::remove(path.c_str());
}

} // namespace
