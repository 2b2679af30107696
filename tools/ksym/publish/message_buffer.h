// Store-and-forward for ksym publish: what would have been published while the broker was
// out of reach, kept in a file of the buffer folder in the order it came, bounded by a limit
// (the oldest go first, counted on stderr), kept across a restart of the publisher and sent
// in order once the broker is back.
//
// The file is a sequence of entries, each written whole with one write: "KB", the topic's and
// the payload's lengths (32-bit little-endian), the topic, the payload, and a CRC-32 of all
// that. A kill can only cut the last entry short; the reader stops at the first entry that
// is cut or does not check, and the next write starts over from there. Dropping the oldest
// and forgetting what was sent rewrite the file beside it and rename it over the old one,
// which leaves either the old file or the new one whole.
//
// Threads: the verb's thread only.
#ifndef KSYM_TOOLS_PUBLISH_MESSAGE_BUFFER_H
#define KSYM_TOOLS_PUBLISH_MESSAGE_BUFFER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ksymtool {

struct BufferedMessage {
    std::string topic;
    std::string payload;
};

class MessageBuffer {
public:
    // The file "ksym-publish.buffer" in `folder` (made when missing); `limitBytes` bounds it.
    MessageBuffer(std::string folder, uint64_t limitBytes);

    // False with the reason when the folder cannot hold the file.
    bool Open(std::string& why);
    // Keeps a message; the oldest are dropped first when the limit would be passed (also the
    // new one, should it alone be larger). False when it could not be written.
    bool Append(const BufferedMessage& message);
    // Sends the kept messages in order through `send` until it fails, and forgets those sent.
    // How many were sent.
    size_t Drain(const std::function<bool(const BufferedMessage&)>& send);
    // The messages kept now, in order.
    std::vector<BufferedMessage> Kept() const;
    uint64_t dropped() const { return dropped_; }
    const std::string& folder() const { return folder_; }

private:
    // Rewrites the file with `messages` (atomically, by a rename).
    bool Rewrite(const std::vector<BufferedMessage>& messages);

    std::string path_;
    std::string folder_;
    uint64_t limitBytes_;
    uint64_t size_ = 0; // of the whole entries in the file
    uint64_t dropped_ = 0;
};

// One entry's bytes, and the entries read from `bytes` (up to the first that is cut short or
// does not check); `used` gets the bytes they take.
std::string EncodeBufferEntry(const BufferedMessage& message);
std::vector<BufferedMessage> DecodeBufferEntries(const std::string& bytes, uint64_t& used);

} // namespace ksymtool

#endif
