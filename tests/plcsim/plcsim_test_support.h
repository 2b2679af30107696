// Helpers for the simulated controller's tests: upload telegrams, reply parsing, scratch
// files.
#ifndef KSYM_TESTS_PLCSIM_PLCSIM_TEST_SUPPORT_H
#define KSYM_TESTS_PLCSIM_PLCSIM_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "formats/byte_order.h"
#include "plcsim/controller.h"

namespace plcsimtest {

// 0x31, 0x00, the name length (16 bits in `order`), the name, its zero and a zero pad to an
// even length: the request as a well-behaved client counts it.
inline std::vector<uint8_t> UploadRequest(const std::string& name, formats::ByteOrder order) {
    const size_t counted = (name.size() + 2) & ~static_cast<size_t>(1);
    std::vector<uint8_t> request = {0x31, 0x00};
    formats::Put(request, static_cast<uint32_t>(counted), 2, order);
    request.insert(request.end(), name.begin(), name.end());
    request.resize(4 + counted, 0);
    return request;
}

inline const std::vector<uint8_t> kNextChunk = {0x32};

struct Chunk {
    uint32_t status;
    uint32_t more;
    std::vector<uint8_t> data;
};

// An upload reply; empty, with a test failure, when its data length field does not count
// exactly the bytes after the six header bytes.
inline std::optional<Chunk> ParseChunk(const std::vector<uint8_t>& reply,
                                       formats::ByteOrder order) {
    if (reply.size() < 6 || reply.size() != 6 + formats::Get(reply.data() + 4, 2, order)) {
        ADD_FAILURE() << "malformed upload reply " << ::testing::PrintToString(reply);
        return std::nullopt;
    }
    return Chunk{formats::Get(reply.data(), 2, order), formats::Get(reply.data() + 2, 2, order),
                 std::vector<uint8_t>(reply.begin() + 6, reply.end())};
}

struct Item {
    uint16_t area;
    uint32_t offset;
    uint32_t size;
    std::vector<uint8_t> value = {}; // writes only
};

// 0x2E or 0x3C, 0x00, the count, the items; a write's values follow its items' headers.
inline std::vector<uint8_t> Request(uint8_t service, const std::vector<Item>& items,
                                    formats::ByteOrder order, uint32_t count = 0xFFFFFFFF) {
    std::vector<uint8_t> request = {service, 0};
    formats::Put(request, count == 0xFFFFFFFF ? static_cast<uint32_t>(items.size()) : count, 4,
                 order);
    for (const Item& item : items) {
        formats::Put(request, item.area, 2, order);
        formats::Put(request, item.offset, 4, order);
        formats::Put(request, item.size, 4, order);
        request.insert(request.end(), item.value.begin(), item.value.end());
    }
    return request;
}

// Hands the controller a copy in a buffer of exactly the request's size, so that the
// address sanitizer reports any read past its end.
inline std::vector<uint8_t> Ask(plcsim::Controller& controller,
                                const std::vector<uint8_t>& request) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[request.size() + (request.empty() ? 1 : 0)]);
    std::copy(request.begin(), request.end(), exact.get());
    plcsim::Session session;
    return controller.Handle(session, exact.get(), request.size()).reply;
}

// A path in the temporary folder, unique to this test, removed at the end of the scope.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& suffix)
        : path_((std::filesystem::temp_directory_path() /
                 ("ksym-plcsim-" +
                  std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                  "-" + std::to_string(std::random_device{}()) + suffix))
                    .string()) {}
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace plcsimtest

#endif
