// Seeds of the targets that take station traffic: the telegrams the client library sends
// (read, write, upload, login, logout, project id, control), the replies the simulated
// controller really gives them, and the frames both carry them in, plus hostile streams
// (a frame cut short, a kind or spare byte out of range, a length beyond the limit).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/seeds.h"
#include "formats/byte_order.h"
#include "formats/telegram_layout.h"
#include "plcsim/controller.h"
#include "formats/station_frame.h"

namespace ksymseeds {

namespace {

using formats::ByteOrder;
using formats::FrameKind;
using Bytes = std::vector<uint8_t>;

struct ReadItem {
    uint16_t area;
    uint32_t offset;
    uint32_t size;
};

Bytes ReadTelegram(const std::vector<ReadItem>& items, ByteOrder order) {
    Bytes t = {formats::kServiceRead, 0};
    formats::Put(t, static_cast<uint32_t>(items.size()), 4, order);
    for (const ReadItem& item : items) {
        formats::Put(t, item.area, 2, order);
        formats::Put(t, item.offset, 4, order);
        formats::Put(t, item.size, 4, order);
    }
    return t;
}

// One item per value; the client adds as many spare bytes as there are items.
Bytes WriteTelegram(const std::vector<std::pair<ReadItem, Bytes>>& items, ByteOrder order) {
    Bytes t = {formats::kServiceWrite, 0};
    formats::Put(t, static_cast<uint32_t>(items.size()), 4, order);
    for (const auto& [item, value] : items) {
        formats::Put(t, item.area, 2, order);
        formats::Put(t, item.offset, 4, order);
        formats::Put(t, item.size, 4, order);
        t.insert(t.end(), value.begin(), value.end());
    }
    t.resize(t.size() + items.size(), 0);
    return t;
}

Bytes UploadTelegram(ByteOrder order, const std::string& name = formats::kUploadFileName) {
    Bytes t = {formats::kServiceUpload, 0};
    Bytes counted(name.begin(), name.end());
    counted.push_back(0);
    if (counted.size() % 2 != 0) {
        counted.push_back(0);
    }
    formats::Put(t, static_cast<uint32_t>(counted.size()), 2, order);
    t.insert(t.end(), counted.begin(), counted.end());
    return t;
}

Bytes LoginTelegram(ByteOrder order) {
    Bytes t = {formats::kServiceLogin};
    formats::Put(t, 1, 4, order);
    formats::Put(t, 0x2026, 4, order);
    formats::Put(t, 7, 4, order);
    t.push_back(1);
    t.push_back(0);
    return t;
}

Bytes Control(const std::string& command) {
    Bytes t = {formats::kServiceControl};
    t.insert(t.end(), command.begin(), command.end());
    t.push_back(0);
    return t;
}

Bytes Frame(FrameKind kind, uint16_t session, const Bytes& payload) {
    return formats::EncodeFrame(kind, session, payload.data(), payload.size());
}

void Append(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// A station_request input: the controller's settings, then length-prefixed requests.
Bytes RequestSequence(bool big, uint16_t chunk, const std::vector<Bytes>& requests) {
    Bytes out = {static_cast<uint8_t>(big ? 1 : 0), static_cast<uint8_t>(chunk),
                 static_cast<uint8_t>(chunk >> 8)};
    for (const Bytes& request : requests) {
        out.push_back(static_cast<uint8_t>(request.size()));
        out.push_back(static_cast<uint8_t>(request.size() >> 8));
        Append(out, request);
    }
    return out;
}

// What a station really sends a client for the given requests of session 0: Opened, then
// the controller's answers, framed. The replies of a sample-project controller.
Bytes StationStream(bool big, uint32_t chunk, const std::vector<Bytes>& requests) {
    plcsim::Config config;
    config.order = big ? ByteOrder::Big : ByteOrder::Little;
    config.chunkSize = chunk;
    config.manualClock = true;
    plcsim::Controller controller;
    std::string error;
    controller.Configure(config, error);
    plcsim::Session session;
    Bytes stream =
        Frame(FrameKind::Opened, 0,
              formats::OpenedPayload(big, config.blockSize, controller.GetProject().fileName));
    for (const Bytes& request : requests) {
        const plcsim::Outcome outcome = controller.Handle(session, request.data(), request.size());
        if (outcome.kind == plcsim::Outcome::Kind::Reply) {
            Append(stream, Frame(FrameKind::Reply, 0, outcome.reply));
        } else if (outcome.kind == plcsim::Outcome::Kind::FatalError) {
            Append(stream, Frame(FrameKind::Fatal, 0, {}));
        }
    }
    return stream;
}

// A station_frame or client_receive input: piece sizes, then the stream.
Bytes Pieces(const Bytes& sizes, const Bytes& stream) {
    Bytes out = {static_cast<uint8_t>(sizes.size())};
    Append(out, sizes);
    Append(out, stream);
    return out;
}

// What a client sends a station: Open, requests, Close, of two sessions.
Bytes ClientStream(ByteOrder order) {
    Bytes stream = Frame(FrameKind::Open, 0, {});
    Append(stream, Frame(FrameKind::Open, 1, {}));
    Append(stream, Frame(FrameKind::Request, 0, {formats::kServiceProjectId}));
    Append(stream, Frame(FrameKind::Request, 1, ReadTelegram({{1, 100, 4}, {2, 0, 0}}, order)));
    Append(stream, Frame(FrameKind::Request, 0, UploadTelegram(order)));
    Append(stream, Frame(FrameKind::Close, 1, {}));
    Append(stream, Frame(FrameKind::Close, 0, {}));
    return stream;
}

} // namespace

bool WriteStationSeeds(const std::string& corpus) {
    const std::string frame = corpus + "/station_frame/";
    const std::string client = corpus + "/client_receive/";
    const std::string request = corpus + "/station_request/";
    const ByteOrder little = ByteOrder::Little;
    const ByteOrder big = ByteOrder::Big;

    const std::vector<Bytes> session = {
        {formats::kServiceProjectId},
        LoginTelegram(little),
        ReadTelegram({{1, 8, 2}, {1, 0, 0}, {3, 4, 21}, {9, 0, 4}}, little),
        UploadTelegram(little),
        {formats::kServiceUploadNext},
        {formats::kServiceUploadNext},
        {formats::kServiceLogout},
    };
    const Bytes served = StationStream(false, 200, session);
    // The documented read of area 1, offset 100, 4 bytes, in session 7.
    const Bytes documented = Frame(FrameKind::Request, 7, ReadTelegram({{1, 100, 4}}, little));
    Bytes broken = Frame(FrameKind::Reply, 0, {0, 0});
    Append(broken, {8, 0, 0, 0, 9, 0, 0, 0, 1, 2, 3, 4}); // kind 9
    Bytes spare = Frame(FrameKind::Reply, 0, {1});
    spare[5] = 1;
    const Bytes tooLong = {0x45, 0, 0, 1, 4, 0, 0, 0};    // 16 MiB + 69: one beyond the limit
    const Bytes longest = {0x44, 0, 0, 1, 4, 0, 0, 0, 1}; // the limit, cut short
    const Bytes tooShort = {3, 0, 0, 0, 4, 0, 0};
    bool ok = WriteSeed(frame + "client_two_sessions.bin", Pieces({0}, ClientStream(little))) &&
              WriteSeed(frame + "client_big_endian.bin", Pieces({6, 200, 2}, ClientStream(big))) &&
              WriteSeed(frame + "station_session.bin", Pieces({3, 9, 100}, served)) &&
              WriteSeed(frame + "documented_read.bin", Pieces({}, documented)) &&
              WriteSeed(frame + "unknown_kind.bin", Pieces({1}, broken)) &&
              WriteSeed(frame + "spare_byte_set.bin", Pieces({}, spare)) &&
              WriteSeed(frame + "length_beyond_limit.bin", Pieces({}, tooLong)) &&
              WriteSeed(frame + "longest_cut_short.bin", Pieces({}, longest)) &&
              WriteSeed(frame + "length_below_header.bin", Pieces({}, tooShort));

    // The client's side: a station serving a session, in big pieces and in small ones; a
    // station whose controller reports a fatal error, then answers again; frames for other
    // sessions and kinds between the replies; a stream that breaks after a reply; openings
    // the client must refuse.
    const std::vector<Bytes> faulty = {Control("fault=fatal"),
                                       {formats::kServiceProjectId},
                                       Control("clear=fatal"),
                                       {formats::kServiceProjectId}};
    Bytes mixed = StationStream(true, 64, {{formats::kServiceProjectId}, UploadTelegram(big)});
    Append(mixed, Frame(FrameKind::Reply, 3, {1, 2, 3}));
    Append(mixed, Frame(FrameKind::Opened, 0, formats::OpenedPayload(false, 0, "X")));
    Append(mixed, Frame(FrameKind::Reply, 0, {}));
    Bytes breaking = StationStream(false, 256, {{formats::kServiceProjectId}});
    Append(breaking, broken);
    Bytes wrongSession = Frame(FrameKind::Opened, 1, formats::OpenedPayload(false, 1024, "A.PRO"));
    Bytes badOrder = Frame(FrameKind::Opened, 0, {2, 0, 4, 0, 0});
    Bytes shortOpened = Frame(FrameKind::Opened, 0, {0, 0, 4, 0});
    Bytes replyFirst = Frame(FrameKind::Reply, 0, {0, 0});
    Bytes cutOpened = Frame(FrameKind::Opened, 0, formats::OpenedPayload(false, 1024, "A.PRO"));
    cutOpened.resize(cutOpened.size() - 2);
    ok = ok && WriteSeed(client + "served_session.bin", Pieces({}, served)) &&
         WriteSeed(client + "served_in_small_pieces.bin", Pieces({0, 4, 12}, served)) &&
         WriteSeed(client + "fatal_then_answer.bin",
                   Pieces({}, StationStream(false, 256, faulty))) &&
         WriteSeed(client + "other_sessions_and_kinds.bin", Pieces({7}, mixed)) &&
         WriteSeed(client + "broken_after_reply.bin", Pieces({}, breaking)) &&
         WriteSeed(client + "opened_wrong_session.bin", Pieces({}, wrongSession)) &&
         WriteSeed(client + "opened_bad_byte_order.bin", Pieces({}, badOrder)) &&
         WriteSeed(client + "opened_too_short.bin", Pieces({}, shortOpened)) &&
         WriteSeed(client + "reply_before_opened.bin", Pieces({}, replyFirst)) &&
         WriteSeed(client + "opened_cut_short.bin", Pieces({0}, cutOpened));

    // The controller's side.
    const Bytes upload = UploadTelegram(little);
    std::vector<Bytes> wholeUpload = {upload};
    for (int i = 0; i < 12; ++i) {
        wholeUpload.push_back({formats::kServiceUploadNext});
    }
    Bytes hugeCount = {formats::kServiceRead, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    ok = ok && WriteSeed(request + "client_session.bin", RequestSequence(false, 200, session)) &&
         WriteSeed(request + "whole_upload.bin", RequestSequence(false, 300, wholeUpload)) &&
         WriteSeed(request + "upload_big_endian_small_chunks.bin",
                   RequestSequence(true, 16,
                                   {UploadTelegram(big),
                                    {formats::kServiceUploadNext},
                                    UploadTelegram(big, "download.sdb"),
                                    {formats::kServiceUploadNext},
                                    {formats::kServiceUploadNext, 0},
                                    {formats::kServiceUploadNext}})) &&
         WriteSeed(request + "upload_wrong_names.bin",
                   RequestSequence(false, 256,
                                   {UploadTelegram(little, "OTHER.SDB"),
                                    {formats::kServiceUploadNext},
                                    {formats::kServiceUpload, 0, 13, 0},
                                    {formats::kServiceUpload}})) &&
         WriteSeed(
             request + "reads_of_every_kind.bin",
             RequestSequence(
                 true, 256,
                 {ReadTelegram({{1, 0, 0}, {1, 7, 0}, {2, 4, 2}, {3, 0, 200}}, big),
                  ReadTelegram({{4, 0, 1}, {0, 511, 2}, {0, 4095, 0}, {0, 0xFFFFFFFF, 4}}, big),
                  ReadTelegram({}, big),
                  hugeCount,
                  {formats::kServiceRead, 0, 1},
                  ReadTelegram({{0, 0, 0x00FFFFF0}, {0, 0, 0x100}}, big)})) &&
         WriteSeed(request + "writes_all_or_none.bin",
                   RequestSequence(
                       false, 256,
                       {WriteTelegram({{{2, 4, 2}, {0xA2, 0x05}},
                                       {{2, 1, 0}, {1}},
                                       {{3, 4, 4}, {'B', 'r', 'e', 'a'}}},
                                      little),
                        WriteTelegram({{{2, 6, 2}, {1, 2}}, {{2, 510, 4}, {1, 2, 3, 4}}}, little),
                        ReadTelegram({{2, 4, 4}, {3, 4, 4}}, little),
                        {formats::kServiceWrite, 0, 2, 0, 0, 0, 2, 0}})) &&
         WriteSeed(request + "faults_and_absent.bin",
                   RequestSequence(false, 256,
                                   {Control("absent=1:8"),
                                    ReadTelegram({{1, 8, 2}}, little),
                                    WriteTelegram({{{1, 6, 4}, {1, 2, 3, 4}}}, little),
                                    Control("fault=short"),
                                    ReadTelegram({{1, 0, 4}}, little),
                                    {formats::kServiceProjectId},
                                    Control("fault=refuse"),
                                    LoginTelegram(little),
                                    upload,
                                    {formats::kServiceLogout},
                                    Control("clear=all"),
                                    Control("fault=shortread"),
                                    ReadTelegram({{1, 0, 4}}, little),
                                    upload,
                                    Control("fault=silent"),
                                    {formats::kServiceProjectId},
                                    Control("clear=silent"),
                                    Control("fault=empty"),
                                    {formats::kServiceProjectId},
                                    Control("clear=absent"),
                                    Control("clear=all"),
                                    Control("fault=nope")})) &&
         WriteSeed(request + "plant_and_clock.bin",
                   RequestSequence(false, 256,
                                   {ReadTelegram({{1, 8, 2}, {1, 16, 4}, {3, 168, 4}}, little),
                                    Control("clock=+2500"),
                                    WriteTelegram({{{2, 1, 0}, {0}}, {{2, 4, 2}, {0, 0}}}, little),
                                    Control("clock=+60000"),
                                    ReadTelegram({{1, 8, 2}, {1, 4, 0}, {3, 168, 4}}, little),
                                    Control("project=sample"),
                                    Control("clock=manual"),
                                    Control("project=/nonexistent.sdb"),
                                    Control("clock=real"),
                                    Control("clock=+99999999999"),
                                    {0x77, 1, 2},
                                    {}})) &&
         WriteSeed(request + "login_short_and_whole.bin",
                   RequestSequence(true, 1,
                                   {{formats::kServiceLogin, 0, 0},
                                    LoginTelegram(big),
                                    {formats::kServiceLogout},
                                    LoginTelegram(big),
                                    Control("cut")}));
    return ok;
}

} // namespace ksymseeds
