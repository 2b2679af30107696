// Helpers for the simulated controller's tests: upload telegrams, reply parsing, scratch
// files.
#ifndef KSYM_TESTS_PLCSIM_PLCSIM_TEST_SUPPORT_H
#define KSYM_TESTS_PLCSIM_PLCSIM_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "formats/byte_order.h"

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
