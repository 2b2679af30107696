// The controller's telegrams and replies, for the side that builds them (the library) and the
// side that parses them (the simulated controller), and back: service codes, status words,
// field offsets and lengths. Multi-byte fields are in the controller's byte order (each side
// converts). Header-only.
#ifndef KSYM_FORMATS_TELEGRAM_LAYOUT_H
#define KSYM_FORMATS_TELEGRAM_LAYOUT_H

#include <cstddef>
#include <cstdint>

namespace formats {

// Service codes: the first byte of every request.
inline constexpr uint8_t kServiceLogin = 0x01;
inline constexpr uint8_t kServiceLogout = 0x02;
inline constexpr uint8_t kServiceProjectId = 0x11;
inline constexpr uint8_t kServiceRead = 0x2E;
inline constexpr uint8_t kServiceUpload = 0x31;     // the first chunk of the symbol file
inline constexpr uint8_t kServiceUploadNext = 0x32; // one byte: the next chunk
inline constexpr uint8_t kServiceWrite = 0x3C;
inline constexpr uint8_t kServiceControl = 0xF0; // the simulator's control service, for tests

// Status words, the first field of a reply (16 bits).
inline constexpr size_t kStatusSize = 2;
inline constexpr uint16_t kStatusOk = 0; // logout, write, upload chunk, identification
inline constexpr uint16_t kStatusLoginAccepted = 1000;
inline constexpr uint16_t kStatusRefused = 1;
inline constexpr uint16_t kStatusMalformed = 2; // a read request that does not parse
inline constexpr uint16_t kStatusUnknownService = 0xFFFF;

// Login: the service byte, the 32-bit words 3, 5 and 0, and two zero bytes.
inline constexpr size_t kLoginLength = 15;
inline constexpr size_t kLoginWordsField = 1;
inline constexpr uint32_t kLoginWords[3] = {3, 5, 0};

// Project identification: a request of the service byte alone; the reply is the status,
// the project identifier (32 bits), a second number (32 bits) and five zero-terminated
// texts. A reply of exactly 5 bytes has a one-byte status before the identifier.
inline constexpr size_t kProjectIdShortReply = 5;
inline constexpr size_t kProjectIdShortIdField = 1;
inline constexpr size_t kProjectIdIdField = 2;
inline constexpr size_t kProjectIdReply = 6; // status and identifier, nothing more
inline constexpr size_t kProjectIdNumberField = 6;
inline constexpr size_t kProjectIdTextsField = 10;
inline constexpr size_t kProjectIdTexts = 5;

// Upload: the service byte, a zero byte, the name's length (16 bits, its zero byte and an
// even pad included), then the name. Each reply: status, more (nonzero: chunks follow), the
// data length (16 bits each), then the data.
inline constexpr size_t kUploadNameLengthField = 2;
inline constexpr size_t kUploadNameField = 4;
inline constexpr size_t kChunkMoreField = 2;
inline constexpr size_t kChunkLengthField = 4;
inline constexpr size_t kChunkHeader = 6;
inline constexpr uint32_t kMaxChunkData = 0xFFFF; // the data length field has 16 bits
// The name under which the station hands out its project's symbol file; the station
// compares it without regard to case.
inline constexpr char kUploadFileName[] = "DOWNLOAD.SDB";

// Read and write requests: the service byte, a zero byte, the item count (32 bits), then the
// items: area (16 bits), offset (32), size (32; 0 for a bit). A write item is followed by
// its value (one byte for a bit); the write telegram ends with one spare byte per item.
inline constexpr size_t kItemCountField = 2;
inline constexpr size_t kItemsField = 6;
inline constexpr size_t kItemLength = 10;
inline constexpr size_t kItemOffsetField = 2;
inline constexpr size_t kItemSizeField = 6;
inline constexpr size_t kTelegramHeader = kItemsField;

// Read reply: the status, the reply word (32 bits), then per item a presence byte (nonzero:
// the value follows) and the value's bytes (one for a bit).
inline constexpr size_t kReplyWordField = 2;
inline constexpr size_t kReplyItemsField = 6;

} // namespace formats

#endif
