#include "tools/ksym/publish/message_buffer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace ksymtool {

namespace {

constexpr char kFileName[] = "ksym-publish.buffer";
constexpr size_t kHeaderSize = 10; // "KB", two lengths
constexpr size_t kCheckSize = 4;
// A topic or payload longer than this is no entry of ours (MQTT allows 256 MB a message).
constexpr uint32_t kMostBytes = 256u * 1024 * 1024;

uint32_t Crc32(const char* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint8_t>(data[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

void PutLe32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFFu));
    }
}

uint32_t GetLe32(const std::string& in, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<uint8_t>(in[at + static_cast<size_t>(i)]);
    }
    return value;
}

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The bytes an entry of `message` takes in the file.
uint64_t EntrySize(const BufferedMessage& message) {
    return kHeaderSize + uint64_t{message.topic.size()} + message.payload.size() + kCheckSize;
}

} // namespace

std::string EncodeBufferEntry(const BufferedMessage& message) {
    std::string entry = "KB";
    PutLe32(entry, static_cast<uint32_t>(message.topic.size()));
    PutLe32(entry, static_cast<uint32_t>(message.payload.size()));
    entry += message.topic;
    entry += message.payload;
    PutLe32(entry, Crc32(entry.data(), entry.size()));
    return entry;
}

std::vector<BufferedMessage> DecodeBufferEntries(const std::string& bytes, uint64_t& used) {
    std::vector<BufferedMessage> messages;
    size_t at = 0;
    for (;;) {
        if (bytes.size() - at < kHeaderSize || bytes[at] != 'K' || bytes[at + 1] != 'B') {
            break;
        }
        const uint32_t topicSize = GetLe32(bytes, at + 2);
        const uint32_t payloadSize = GetLe32(bytes, at + 6);
        if (topicSize > kMostBytes || payloadSize > kMostBytes) {
            break;
        }
        // Sizes of at most 2 x 256 MB and a few bytes: no wrap in 64 bits.
        const uint64_t body = uint64_t{topicSize} + payloadSize;
        if (bytes.size() - at - kHeaderSize < body + kCheckSize) {
            break; // cut short
        }
        const size_t end = at + kHeaderSize + static_cast<size_t>(body);
        if (GetLe32(bytes, end) != Crc32(bytes.data() + at, end - at)) {
            break;
        }
        messages.push_back({bytes.substr(at + kHeaderSize, topicSize),
                            bytes.substr(at + kHeaderSize + topicSize, payloadSize)});
        at = end + kCheckSize;
    }
    used = at;
    return messages;
}

MessageBuffer::MessageBuffer(std::string folder, uint64_t limitBytes)
    : path_(folder + "/" + kFileName), folder_(std::move(folder)), limitBytes_(limitBytes) {}

bool MessageBuffer::Open(std::string& why) {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (!std::filesystem::is_directory(folder_, error)) {
        why = "the buffer folder " + folder_ + " cannot be made";
        return false;
    }
    // What a kill may have left after the last whole entry goes.
    const std::string bytes = ReadAll(path_);
    const std::vector<BufferedMessage> kept = DecodeBufferEntries(bytes, size_);
    if (size_ != bytes.size() && !Rewrite(kept)) {
        why = "the buffer file " + path_ + " cannot be written";
        return false;
    }
    std::ofstream probe(path_, std::ios::binary | std::ios::app);
    if (!probe) {
        why = "the buffer file " + path_ + " cannot be written";
        return false;
    }
    return true;
}

bool MessageBuffer::Rewrite(const std::vector<BufferedMessage>& messages) {
    const std::string part = path_ + ".part";
    std::string bytes;
    for (const BufferedMessage& message : messages) {
        bytes += EncodeBufferEntry(message);
    }
    {
        std::ofstream file(part, std::ios::binary | std::ios::trunc);
        if (!file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) ||
            !file.flush()) {
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(part, path_, error);
    if (error) {
        return false;
    }
    size_ = bytes.size();
    return true;
}

bool MessageBuffer::Append(const BufferedMessage& message) {
    const std::string entry = EncodeBufferEntry(message);
    if (size_ + entry.size() > limitBytes_) {
        // Down to three quarters of the limit, so that the file is not rewritten for every
        // message once it is full.
        std::vector<BufferedMessage> kept = Kept();
        kept.push_back(message);
        uint64_t total = 0;
        for (const BufferedMessage& each : kept) {
            total += EntrySize(each);
        }
        size_t first = 0;
        while (first < kept.size() && total > limitBytes_ / 4 * 3) {
            total -= EntrySize(kept[first]);
            ++first;
        }
        dropped_ += first;
        std::fprintf(stderr,
                     "ksym: the buffer is full; %zu oldest messages dropped (%llu in all)\n", first,
                     static_cast<unsigned long long>(dropped_));
        return Rewrite(std::vector<BufferedMessage>(
            kept.begin() + static_cast<std::ptrdiff_t>(first), kept.end()));
    }
    std::FILE* file = std::fopen(path_.c_str(), "ab");
    if (file == nullptr) {
        return false;
    }
    // Unbuffered: the entry goes in one write, and a kill leaves it whole or cut.
    std::setvbuf(file, nullptr, _IONBF, 0);
    const bool written = std::fwrite(entry.data(), 1, entry.size(), file) == entry.size();
    const bool closed = std::fclose(file) == 0;
    if (written && closed) {
        size_ += entry.size();
        return true;
    }
    // A part of the entry may be there (a full disk): the whole entries are written anew, so
    // that the next entry does not follow a broken one.
    Rewrite(Kept());
    return false;
}

std::vector<BufferedMessage> MessageBuffer::Kept() const {
    uint64_t used = 0;
    return DecodeBufferEntries(ReadAll(path_), used);
}

size_t MessageBuffer::Drain(const std::function<bool(const BufferedMessage&)>& send) {
    const std::vector<BufferedMessage> kept = Kept();
    size_t sent = 0;
    while (sent < kept.size() && send(kept[sent])) {
        ++sent;
    }
    if (sent != 0) {
        Rewrite(std::vector<BufferedMessage>(kept.begin() + static_cast<std::ptrdiff_t>(sent),
                                             kept.end()));
    }
    return sent;
}

} // namespace ksymtool
