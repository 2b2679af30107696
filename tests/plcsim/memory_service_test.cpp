// The memory services of the simulated controller: reads and writes of areas, bits, absent
// items, the faults that shape them and the options that set up the memory.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "plcsim/controller.h"
#include "plcsim_test_support.h"

namespace {

using formats::ByteOrder;
using plcsim::InitialMemoryByte;
using Bytes = std::vector<uint8_t>;
constexpr ByteOrder kLittle = ByteOrder::Little;

using plcsimtest::Ask;
using plcsimtest::Item;
using plcsimtest::Request;

std::unique_ptr<plcsim::Controller> Configured(const std::string& options) {
    auto controller = std::make_unique<plcsim::Controller>();
    plcsim::Config config;
    std::string error;
    // The memory's pattern everywhere: no initial values or behaviours of the sample.
    const std::string pattern = "values=pattern" + (options.empty() ? "" : ";" + options);
    EXPECT_TRUE(plcsim::ParseConfig(pattern, config, error)) << error;
    EXPECT_TRUE(controller->Configure(config, error)) << error;
    return controller;
}

// The presence byte and value bytes of each item of a little-endian read reply.
std::vector<std::pair<uint8_t, Bytes>> Values(const Bytes& reply, const std::vector<Item>& items) {
    std::vector<std::pair<uint8_t, Bytes>> values;
    size_t at = 6;
    for (const Item& item : items) {
        const size_t size = item.size == 0 ? 1 : item.size;
        if (reply.size() < at + 1 + size) {
            ADD_FAILURE() << "read reply too short: " << reply.size();
            return values;
        }
        values.emplace_back(reply[at],
                            Bytes(reply.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                                  reply.begin() + static_cast<std::ptrdiff_t>(at + 1 + size)));
        at += 1 + size;
    }
    EXPECT_EQ(at, reply.size()) << "bytes after the last item";
    return values;
}

Bytes Initial(uint16_t area, uint32_t offset, uint32_t size) {
    Bytes bytes;
    for (uint32_t i = 0; i < size; ++i) {
        bytes.push_back(InitialMemoryByte(area, offset + i));
    }
    return bytes;
}

TEST(MemoryServiceTest, ReadsWordsDwordsAndBitsInEitherOrder) {
    for (ByteOrder order : {ByteOrder::Little, ByteOrder::Big}) {
        SCOPED_TRACE(order == ByteOrder::Big ? "big" : "little");
        auto controller = Configured(order == ByteOrder::Big ? "order=big" : "order=little");
        // Bit 43 of area 2 is bit 3 of its byte 5.
        const std::vector<Item> items = {{0, 8, 2}, {1, 100, 4}, {2, 43, 0}};
        const Bytes word = order == ByteOrder::Big ? Bytes{0, 0, 0, 1} : Bytes{1, 0, 0, 0};
        Bytes expected = {0, 0};
        expected.insert(expected.end(), word.begin(), word.end());
        for (const Bytes& value :
             {Initial(0, 8, 2), Initial(1, 100, 4),
              Bytes{static_cast<uint8_t>((InitialMemoryByte(2, 5) >> 3) & 1)}}) {
            expected.push_back(1);
            expected.insert(expected.end(), value.begin(), value.end());
        }
        EXPECT_EQ(Ask(*controller, Request(0x2E, items, order)), expected);
        // The reply word counts the reads answered.
        EXPECT_EQ(formats::Get(Ask(*controller, Request(0x2E, {}, order)).data() + 2, 4, order),
                  2u);
    }

    // The bits of a byte, least significant first; the pattern differs between neighbouring
    // bytes and between areas, and fills every area.
    auto controller = Configured("");
    std::vector<Item> bits;
    for (uint32_t bit = 0; bit < 8; ++bit) {
        bits.push_back({3, 8 * 77 + bit, 0});
    }
    uint8_t assembled = 0;
    for (const auto& [present, value] :
         Values(Ask(*controller, Request(0x2E, bits, kLittle)), bits)) {
        EXPECT_EQ(present, 1);
        ASSERT_LE(value.at(0), 1);
        assembled = static_cast<uint8_t>(assembled >> 1 | value[0] << 7);
    }
    EXPECT_EQ(assembled, InitialMemoryByte(3, 77));
    for (uint16_t area = 0; area < plcsim::kMemoryAreas; ++area) {
        Bytes bytes;
        ASSERT_TRUE(controller->ReadMemory(area, 0, 65536, bytes));
        EXPECT_EQ(bytes, Initial(area, 0, 65536)) << area;
        for (uint32_t offset = 0; offset < 65535; ++offset) {
            ASSERT_NE(bytes[offset], bytes[offset + 1]) << offset;
            ASSERT_NE(bytes[offset],
                      InitialMemoryByte(static_cast<uint16_t>((area + 1) % 4), offset))
                << offset;
        }
    }
}

TEST(MemoryServiceTest, AbsentItemsKeepTheirPlaceAndSpareTheOthers) {
    auto controller = Configured("absent=1:20");
    const std::vector<Item> items = {
        {0, 8, 2},          {7, 0, 4},          {1, 65534, 4}, {1, 65532, 4}, {2, 0xFFFFFFFE, 4},
        {3, 0xFFFFFFFF, 0}, {3, 524287, 0},     {1, 18, 4},    {1, 21, 4},    {1, 16, 4},
        {1, 160, 0},        {1, 20 * 8 + 7, 0}, {1, 168, 0}};
    const std::vector<bool> present = {true,  false, false, true,  false, false, true,
                                       false, true,  true,  false, false, true};
    const auto values = Values(Ask(*controller, Request(0x2E, items, kLittle)), items);
    ASSERT_EQ(values.size(), items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(values[i].first, present[i] ? 1 : 0);
        if (!present[i]) {
            EXPECT_EQ(values[i].second, Bytes(values[i].second.size(), 0));
        } else if (items[i].size != 0) {
            EXPECT_EQ(values[i].second, Initial(items[i].area, items[i].offset, items[i].size));
        }
    }
}

TEST(MemoryServiceTest, WritesAreAllOrNothingAndReadBack) {
    auto controller = Configured("absent=2:40");
    const Bytes ok = {0, 0};
    const Bytes refused = {1, 0};
    // A bit that is set in byte 51 of area 1, and one that is clear.
    const uint8_t initial = InitialMemoryByte(1, 51);
    uint32_t set = 0;
    uint32_t clear = 0;
    while (((initial >> set) & 1) == 0) {
        ++set;
    }
    while (((initial >> clear) & 1) != 0) {
        ++clear;
    }
    std::vector<Item> items = {{0, 100, 4, {0xDE, 0xAD, 0xBE, 0xEF}},
                               {1, 51 * 8 + set, 0, {0}},
                               {1, 51 * 8 + clear, 0, {0x80}}};
    const Bytes before = Initial(0, 100, 4);
    // Refused: an item outside, an absent one, a truncated value, a count the request does
    // not hold, the refuse fault. Nothing of the good items is written.
    std::vector<Bytes> refusedRequests;
    for (const Item& bad : {Item{0, 65535, 2, {1, 2}}, Item{2, 36, 8, Bytes(8, 0)},
                            Item{4, 0, 1, {1}}, Item{2, 40 * 8, 0, {1}}}) {
        auto withBad = items;
        withBad.push_back(bad);
        refusedRequests.push_back(Request(0x3C, withBad, kLittle));
    }
    Bytes truncated = Request(0x3C, items, kLittle);
    truncated.pop_back();
    refusedRequests.push_back(truncated);
    refusedRequests.push_back(Request(0x3C, items, kLittle, 4));
    refusedRequests.push_back(Request(0x3C, items, kLittle, 0xFFFFFFFE));
    refusedRequests.push_back({0x3C, 0, 1, 0, 0});
    for (const Bytes& request : refusedRequests) {
        EXPECT_EQ(Ask(*controller, request), refused) << ::testing::PrintToString(request);
    }
    controller->SetFault(plcsim::Fault::Refuse, true);
    EXPECT_EQ(Ask(*controller, Request(0x3C, items, kLittle)), refused);
    EXPECT_EQ(Ask(*controller, Request(0x2E, {{0, 100, 4}}, kLittle))[0], 0) << "reads go on";
    controller->SetFault(plcsim::Fault::Refuse, false);
    Bytes bytes;
    ASSERT_TRUE(controller->ReadMemory(0, 100, 4, bytes));
    EXPECT_EQ(bytes, before);
    ASSERT_TRUE(controller->ReadMemory(1, 51, 1, bytes));
    EXPECT_EQ(bytes, Bytes{initial});

    // Written, with the spare bytes after the items, without them, or with more after them.
    Bytes spare = Request(0x3C, items, kLittle);
    spare.insert(spare.end(), items.size(), 0);
    Bytes more = spare;
    more.insert(more.end(), {7, 7});
    for (const Bytes& request : {spare, Request(0x3C, items, kLittle), more}) {
        EXPECT_EQ(Ask(*controller, request), ok);
    }
    const std::vector<Item> back = {{0, 100, 4}, {1, 51, 1}};
    const auto values = Values(Ask(*controller, Request(0x2E, back, kLittle)), back);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].second, Bytes({0xDE, 0xAD, 0xBE, 0xEF})) << "stored as sent";
    EXPECT_EQ(values[1].second,
              Bytes{static_cast<uint8_t>((initial & ~(1u << set)) | (1u << clear))})
        << "only the two bits changed";
}

TEST(MemoryServiceTest, MalformedReadsGetOnlyAStatus) {
    auto controller = Configured("");
    const Bytes malformed = {2, 0};
    Bytes nineOfTen = Request(0x2E, {{0, 0, 1}}, kLittle);
    nineOfTen.pop_back();
    const Bytes requests[] = {
        {0x2E},
        {0x2E, 0, 1, 0, 0},
        nineOfTen,
        Request(0x2E, {{0, 0, 1}}, kLittle, 2),
        Request(0x2E, {{0, 0, 1}}, kLittle, 0xFFFFFFFF - 1),
        Request(0x2E, {{0, 0, 0xFFFFFFFF}, {0, 0, 0xFFFFFFFF}}, kLittle),
        Request(0x2E, {{0, 0, plcsim::kMaxReadReply - 6}}, kLittle), // one byte over the cap
    };
    for (const Bytes& request : requests) {
        EXPECT_EQ(Ask(*controller, request), malformed) << ::testing::PrintToString(request);
    }
    // At the cap exactly the reply is built; the item is absent, far past the area.
    const Bytes largest =
        Ask(*controller, Request(0x2E, {{0, 0, plcsim::kMaxReadReply - 7}}, kLittle));
    ASSERT_EQ(largest.size(), plcsim::kMaxReadReply);
    EXPECT_EQ(largest[6], 0);
}

TEST(MemoryServiceTest, ShortFaultsCutReadRepliesByOneByte) {
    auto controller = Configured("fault=shortread");
    const std::vector<Item> items = {{0, 8, 2}, {1, 0, 4}};
    auto expected = Ask(*controller, Request(0x2E, items, kLittle));
    EXPECT_EQ(expected.size(), 6u + 3 + 5 - 1);
    const Bytes logout = {0x02};
    EXPECT_EQ(Ask(*controller, logout).size(), 2u) << "only reads are cut";
    EXPECT_EQ(Ask(*controller, Request(0x3C, {{0, 0, 1, {9}}}, kLittle)), Bytes({0, 0}));
    EXPECT_EQ(Ask(*controller, {0x2E}), Bytes{2});
    controller->SetFault(plcsim::Fault::Short, true);
    EXPECT_EQ(Ask(*controller, Request(0x2E, items, kLittle)).size(), 6u + 3 + 5 - 1)
        << "both faults still cut one byte";
    EXPECT_EQ(Ask(*controller, logout).size(), 1u);
    controller->SetFault(plcsim::Fault::ShortRead, false);
    const Bytes cut = Ask(*controller, Request(0x2E, items, kLittle));
    EXPECT_EQ(cut.size(), 6u + 3 + 5 - 1);
    EXPECT_EQ(Bytes(cut.begin() + 6, cut.end()), Bytes(expected.begin() + 6, expected.end()))
        << "the bytes that remain are the reply's";
}

TEST(MemoryServiceTest, MemoryAndAbsentOptionsAndCommands) {
    plcsim::Config config;
    std::string error;
    EXPECT_TRUE(plcsim::ParseConfig("memory=1;memory=16777216;absent=1:20;absent=0:4294967295;"
                                    "absent=65535:0;fault=shortread",
                                    config, error))
        << error;
    EXPECT_EQ(config.memorySize, 16777216u);
    EXPECT_EQ(config.absent,
              (std::set<plcsim::MemoryAddress>{{0, 0xFFFFFFFF}, {1, 20}, {65535, 0}}));
    EXPECT_EQ(config.faults, std::set<plcsim::Fault>{plcsim::Fault::ShortRead});
    for (const char* bad :
         {"memory=0", "memory=16777217", "memory=", "memory=-1", "memory=1k", "memory=99999999999",
          "absent=1", "absent=1:", "absent=:5", "absent=65536:0", "absent=1:4294967296",
          "absent=1:2:3", "absent=a:1", "absent= 1:2", "absent=1:-2", "absent="}) {
        plcsim::Config untouched;
        EXPECT_FALSE(plcsim::ParseConfig(bad, untouched, error)) << bad;
    }
    plcsim::Controller controller;
    config = plcsim::Config();
    config.memorySize = plcsim::kMaxMemorySize + 1;
    EXPECT_FALSE(controller.Configure(config, error));

    // Areas of 1024 bytes; absent addresses switched over the control service.
    auto small = Configured("memory=1024");
    const std::vector<Item> items = {{1, 1023, 1}, {1, 1023, 2}, {2, 10, 1}, {3, 8191, 0}};
    auto presence = [&]() {
        Bytes flags;
        for (const auto& value : Values(Ask(*small, Request(0x2E, items, kLittle)), items)) {
            flags.push_back(value.first);
        }
        return flags;
    };
    auto control = [&](const std::string& text) {
        Bytes request = {0xF0};
        request.insert(request.end(), text.begin(), text.end());
        return Ask(*small, request);
    };
    EXPECT_EQ(presence(), Bytes({1, 0, 1, 1}));
    for (const char* bad : {"absent=2", "absent=2:x", "clear=absents", "absent=2:10:"}) {
        EXPECT_EQ(control(bad), Bytes({1, 0})) << bad;
    }
    EXPECT_EQ(control("absent=2:10"), Bytes({0, 0}));
    EXPECT_EQ(control("absent=3:1023"), Bytes({0, 0}));
    EXPECT_EQ(presence(), Bytes({1, 0, 0, 0}));
    EXPECT_EQ(control("clear=absent"), Bytes({0, 0}));
    EXPECT_EQ(presence(), Bytes({1, 0, 1, 1}));
    EXPECT_EQ(control("absent=1:1023"), Bytes({0, 0}));
    EXPECT_EQ(control("fault=shortread"), Bytes({0, 0}));
    EXPECT_EQ(Ask(*small, Request(0x2E, {}, kLittle)).size(), 5u);
    EXPECT_EQ(control("clear=all"), Bytes({0, 0}));
    EXPECT_EQ(presence(), Bytes({1, 0, 1, 1}));
    EXPECT_TRUE(small->GetConfig().faults.empty());
}

TEST(MemoryServiceTest, SessionsShareOneMemoryAndOneReadCounter) {
    auto controller = Configured("");
    constexpr int kRounds = 200;
    std::vector<uint32_t> words[2];
    auto run = [&](uint16_t index) {
        plcsim::Session session;
        for (int round = 0; round < kRounds; ++round) {
            const Bytes write =
                Request(0x3C, {{0, index * 4u, 4, Bytes(4, static_cast<uint8_t>(round))}}, kLittle);
            const Bytes read = Request(0x2E, {{0, index * 4u, 4}}, kLittle);
            controller->Handle(session, write.data(), write.size());
            const Bytes reply = controller->Handle(session, read.data(), read.size()).reply;
            ASSERT_EQ(reply.size(), 11u);
            EXPECT_EQ(reply[7], static_cast<uint8_t>(round));
            words[index].push_back(formats::Get(reply.data() + 2, 4, kLittle));
        }
    };
    std::thread other(run, uint16_t{1});
    run(0);
    other.join();
    std::set<uint32_t> all(words[0].begin(), words[0].end());
    all.insert(words[1].begin(), words[1].end());
    ASSERT_EQ(all.size(), 2u * kRounds) << "a reply word was given twice";
    EXPECT_EQ(*all.begin(), 1u);
    EXPECT_EQ(*all.rbegin(), 2u * kRounds);
}

} // namespace
