#include "plcsim/controller.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "formats/byte_order.h"
#include "formats/file_bytes.h"
#include "formats/recording.h"
#include "formats/telegram_layout.h"
#include "plcsim/control_command.h"

namespace plcsim {

namespace {

// The layouts of the requests and replies are formats/telegram_layout.h.

// The value bytes an item carries: one for a bit (size 0).
uint64_t ValueSize(uint32_t size) {
    return size == 0 ? 1 : size;
}

struct Item {
    uint16_t area;
    uint32_t offset;
    uint32_t size;
    const uint8_t* value; // write items only
};

Item ItemAt(const uint8_t* p, formats::ByteOrder order) {
    return Item{static_cast<uint16_t>(formats::Get(p, 2, order)), Get(p + 2, 4, order),
                Get(p + 6, 4, order), nullptr};
}

bool EqualsIgnoringCase(const uint8_t* text, size_t length, const char* expected) {
    if (length != std::strlen(expected)) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (std::toupper(text[i]) != std::toupper(static_cast<unsigned char>(expected[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace

bool Controller::Configure(const Config& config, std::string& error) {
    if (config.chunkSize == 0 || config.chunkSize > formats::kMaxChunkData) {
        error = "the chunk size must be 1 to " + std::to_string(formats::kMaxChunkData);
        return false;
    }
    if (config.memorySize == 0 || config.memorySize > kMaxMemorySize) {
        error = "the memory size must be 1 to " + std::to_string(kMaxMemorySize);
        return false;
    }
    Project project = SampleProject();
    if (!config.projectPath.empty() && !LoadProject(config.projectPath, project, error)) {
        return false;
    }
    Config taken = config;
    std::shared_ptr<const formats::Recording> recording;
    if (!config.replayPath.empty() &&
        !LoadReplay(config.replayPath, taken, project, recording, error)) {
        return false;
    }
    Memory memory(config.memorySize); // filled before the lock is taken
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = taken;
    project_ = project;
    recording_ = std::move(recording);
    memory_ = std::move(memory);
    clock_.Restart(config.manualClock);
    RestartPlant();
    return true;
}

void Controller::RestartPlant() {
    plant_ = config_.pattern || recording_ != nullptr ? Plant() : Plant(project_.plant);
    plant_.Start(memory_, config_.order, clock_.Now());
    replay_ = Replay(recording_, config_.speed, config_.loop);
    replay_.Start(memory_, clock_.Now());
}

void Controller::Play() {
    plant_.Advance(memory_, config_.order, clock_.Now());
    replay_.Advance(memory_, clock_.Now());
}

bool Controller::LoadReplay(const std::string& path, Config& config, Project& project,
                            std::shared_ptr<const formats::Recording>& recording,
                            std::string& error) {
    std::vector<uint8_t> bytes;
    if (!formats::ReadFileBytes(path, bytes, formats::kMaxRecordingBytes)) {
        error = "cannot read the recording " + path;
        return false;
    }
    auto read = std::make_shared<formats::Recording>();
    std::string why;
    if (!formats::ParseRecording(std::string(bytes.begin(), bytes.end()), *read, why) ||
        !ProjectOfRecording(*read, project, why)) {
        error = path + ": " + why;
        return false;
    }
    for (const formats::RecordedVariable& variable : read->header.variables) {
        // A bit's offset counts bits, of which its byte holds eight.
        const uint32_t first = variable.size == 0 ? variable.offset / 8 : variable.offset;
        const uint32_t size = formats::RecordedBytes(variable);
        if (variable.area >= kMemoryAreas || size > config.memorySize ||
            first > config.memorySize - size) {
            error = path + ": line 1: the variable '" + variable.name +
                    "' lies beyond the simulator's memory (" + std::to_string(config.memorySize) +
                    " bytes an area)";
            return false;
        }
    }
    config.order = read->header.bigEndian ? formats::ByteOrder::Big : formats::ByteOrder::Little;
    config.blockSize = read->header.blockSize;
    recording = std::move(read);
    return true;
}

void Controller::SwitchProject(const Project& project) {
    std::lock_guard<std::mutex> lock(mutex_);
    project_ = project;
    recording_.reset();
    RestartPlant();
}

void Controller::AdvanceClock(uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_.Advance(ms);
    Play();
}

void Controller::SetLatency(uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.latencyMs = ms;
}

void Controller::SetFault(Fault fault, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (on) {
        config_.faults.insert(fault);
    } else {
        config_.faults.erase(fault);
    }
}

void Controller::SetAbsent(const MemoryAddress& address, bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (on) {
        config_.absent.insert(address);
    } else {
        config_.absent.erase(address);
    }
}

bool Controller::ReadMemory(uint16_t area, uint32_t offset, uint32_t size,
                            std::vector<uint8_t>& bytes) const {
    bytes.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!memory_.Contains(area, offset, size)) {
        return false;
    }
    bytes.resize(size);
    return memory_.Read(area, offset, size, bytes.data());
}

bool Controller::WriteMemory(uint16_t area, uint32_t offset, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes.size() <= 0xFFFFFFFFu &&
           memory_.Write(area, offset, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

Config Controller::GetConfig() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

Project Controller::GetProject() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return project_;
}

bool Controller::LoggedIn() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loggedIn_;
}

std::vector<uint8_t> Controller::StatusReply(uint16_t status) const {
    std::vector<uint8_t> reply;
    formats::Put(reply, status, 2, config_.order);
    return reply;
}

// status (2), project id (4), second number (4), then five NUL-terminated texts.
std::vector<uint8_t> Controller::ProjectIdReply() const {
    std::vector<uint8_t> reply;
    const bool refuse = config_.faults.count(Fault::Refuse) != 0;
    formats::Put(reply, refuse ? formats::kStatusRefused : formats::kStatusOk, 2, config_.order);
    Put(reply, static_cast<uint32_t>(project_.id), 4, config_.order);
    Put(reply, project_.number, 4, config_.order);
    for (const std::string& text : project_.texts) {
        reply.insert(reply.end(), text.begin(), text.end());
        reply.push_back(0);
    }
    return reply;
}

// The request must count its name exactly: the name, its zero, and one zero pad when that
// makes an odd length; anything else is malformed.
bool Controller::UploadNamesFile(const uint8_t* request, size_t length) const {
    if (length < formats::kUploadNameField || request[1] != 0) {
        return false;
    }
    const size_t counted =
        formats::Get(request + formats::kUploadNameLengthField, 2, config_.order);
    if (length - formats::kUploadNameField != counted) {
        return false;
    }
    const uint8_t* name = request + formats::kUploadNameField;
    const void* zero = std::memchr(name, 0, counted);
    if (zero == nullptr) {
        return false;
    }
    const size_t nameLength = static_cast<size_t>(static_cast<const uint8_t*>(zero) - name);
    const size_t padded = (nameLength + 2) & ~static_cast<size_t>(1); // name + zero, even
    if (counted != padded || (counted > nameLength + 1 && name[nameLength + 1] != 0)) {
        return false;
    }
    return EqualsIgnoringCase(name, nameLength, formats::kUploadFileName);
}

std::vector<uint8_t> Controller::RefuseUpload(Session& session) const {
    session.upload.reset();
    session.position = 0;
    std::vector<uint8_t> reply;
    formats::Put(reply, formats::kStatusRefused, 2, config_.order);
    Put(reply, 0, 2, config_.order); // more
    Put(reply, 0, 2, config_.order); // data length
    return reply;
}

// The next chunk of the session's upload; the last one ends it.
std::vector<uint8_t> Controller::Chunk(Session& session) const {
    const std::vector<uint8_t>& file = *session.upload;
    const size_t left = file.size() - session.position;
    const size_t length = std::min<size_t>(left, config_.chunkSize);
    const bool more = length < left;
    std::vector<uint8_t> reply;
    reply.reserve(6 + length);
    formats::Put(reply, formats::kStatusOk, 2, config_.order);
    Put(reply, more ? 1 : 0, 2, config_.order);
    Put(reply, static_cast<uint32_t>(length), 2, config_.order);
    const auto first = file.begin() + static_cast<std::ptrdiff_t>(session.position);
    reply.insert(reply.end(), first, first + static_cast<std::ptrdiff_t>(length));
    session.position += length;
    if (!more) {
        session.upload.reset();
        session.position = 0;
    }
    return reply;
}

std::vector<uint8_t> Controller::BeginUpload(Session& session, const uint8_t* request,
                                             size_t length) {
    // A new request replaces an upload still in progress, whether it is served or refused.
    if (config_.faults.count(Fault::Refuse) != 0 || project_.sdb == nullptr ||
        !UploadNamesFile(request, length)) {
        return RefuseUpload(session);
    }
    session.upload = project_.sdb;
    session.position = 0;
    return Chunk(session);
}

std::vector<uint8_t> Controller::NextChunk(Session& session, size_t length) {
    if (config_.faults.count(Fault::Refuse) != 0 || session.upload == nullptr || length != 1) {
        return RefuseUpload(session);
    }
    return Chunk(session);
}

bool Controller::Accessible(uint16_t area, uint32_t offset, uint32_t size) const {
    // The bytes first..end (end excluded) the item covers, in 64 bits so that nothing wraps.
    uint64_t first = offset;
    uint64_t end = first + size;
    if (size == 0) {
        if (!memory_.ContainsBit(area, offset)) {
            return false;
        }
        first = offset / 8;
        end = first + 1;
    } else if (!memory_.Contains(area, offset, size)) {
        return false;
    }
    const auto absent =
        config_.absent.lower_bound(MemoryAddress{area, static_cast<uint32_t>(first)});
    return absent == config_.absent.end() || absent->area != area || absent->offset >= end;
}

std::vector<uint8_t> Controller::ReadReply(const uint8_t* request, size_t length) {
    const formats::ByteOrder order = config_.order;
    if (length < formats::kItemsField) {
        return StatusReply(formats::kStatusMalformed);
    }
    const uint32_t count = formats::Get(request + 2, 4, order);
    if ((length - formats::kItemsField) / formats::kItemLength < count) {
        return StatusReply(formats::kStatusMalformed);
    }
    // The reply's size first, so that an absurd request is turned down before anything is
    // allocated. The sum stops at the cap, long before 64 bits could wrap.
    const uint8_t* items = request + formats::kItemsField;
    uint64_t replySize = formats::kReplyItemsField;
    for (uint32_t i = 0; i < count; ++i) {
        replySize += 1 + ValueSize(ItemAt(items + formats::kItemLength * i, order).size);
        if (replySize > kMaxReadReply) {
            return StatusReply(formats::kStatusMalformed);
        }
    }
    std::vector<uint8_t> reply;
    reply.reserve(static_cast<size_t>(replySize));
    formats::Put(reply, formats::kStatusOk, 2, order);
    Put(reply, ++readsAnswered_, 4, order);
    for (uint32_t i = 0; i < count; ++i) {
        const Item item = ItemAt(items + formats::kItemLength * i, order);
        const bool present = Accessible(item.area, item.offset, item.size);
        reply.push_back(present ? 1 : 0);
        if (item.size == 0) {
            bool bit = false;
            reply.push_back(present && memory_.ReadBit(item.area, item.offset, bit) && bit ? 1 : 0);
            continue;
        }
        const size_t at = reply.size();
        reply.resize(at + item.size, 0);
        if (present) {
            memory_.Read(item.area, item.offset, item.size, reply.data() + at);
        }
    }
    return reply;
}

std::vector<uint8_t> Controller::WriteReply(const uint8_t* request, size_t length) {
    const formats::ByteOrder order = config_.order;
    if (config_.faults.count(Fault::Refuse) != 0 || config_.readOnly ||
        length < formats::kItemsField) {
        return StatusReply(formats::kStatusRefused);
    }
    // Every item is parsed and checked before the first is written. Each takes at least
    // eleven bytes of the request, so the loop ends with the request, whatever the count.
    const uint32_t count = formats::Get(request + 2, 4, order);
    std::vector<Item> items;
    size_t position = formats::kItemsField;
    for (uint32_t i = 0; i < count; ++i) {
        if (length - position < formats::kItemLength) {
            return StatusReply(formats::kStatusRefused);
        }
        Item item = ItemAt(request + position, order);
        position += formats::kItemLength;
        const uint64_t valueSize = ValueSize(item.size);
        if (length - position < valueSize || !Accessible(item.area, item.offset, item.size)) {
            return StatusReply(formats::kStatusRefused);
        }
        item.value = request + position;
        position += static_cast<size_t>(valueSize);
        items.push_back(item);
    }
    for (const Item& item : items) {
        if (item.size == 0) {
            memory_.WriteBit(item.area, item.offset, item.value[0] != 0);
        } else {
            memory_.Write(item.area, item.offset, item.value, item.size);
        }
        plant_.Written(memory_, order, item.area, item.offset, item.size, clock_.Now());
    }
    return StatusReply(formats::kStatusOk);
}

std::string Controller::ControlProjectPath(const std::string& named) const {
    // Fixed at Configure; read without the lock.
    if (config_.anyProject || named == config_.projectPath) {
        return named;
    }
    const bool plainName = !named.empty() && named != "." && named != ".." &&
                           named.find_first_of("/\\") == std::string::npos;
    if (config_.projectFolder.empty() || !plainName) {
        return std::string();
    }
    return config_.projectFolder + "/" + named;
}

Outcome Controller::Control(const uint8_t* text, size_t length) {
    ControlCommand command;
    bool accepted =
        ParseControlCommand(std::string(reinterpret_cast<const char*>(text), length), command);
    Project project;
    if (accepted && command.kind == ControlCommand::Kind::LoadProject) {
        std::string error;
        const std::string path = ControlProjectPath(command.path);
        accepted = !path.empty() && LoadProject(path, project, error);
    } else if (accepted && command.kind == ControlCommand::Kind::SampleProject) {
        project = SampleProject();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (accepted) {
        switch (command.kind) {
        case ControlCommand::Kind::LoadProject:
        case ControlCommand::Kind::SampleProject:
            project_ = std::move(project);
            RestartPlant();
            break;
        case ControlCommand::Kind::ManualClock:
            clock_.Restart(true);
            RestartPlant();
            break;
        case ControlCommand::Kind::RealClock:
            clock_.Run();
            break;
        case ControlCommand::Kind::AdvanceClock:
            accepted = clock_.Manual();
            if (accepted) {
                clock_.Advance(command.ms);
                Play();
            }
            break;
        case ControlCommand::Kind::SetFault:
            config_.faults.insert(command.fault);
            break;
        case ControlCommand::Kind::ClearFault:
            config_.faults.erase(command.fault);
            break;
        case ControlCommand::Kind::SetAbsent:
            config_.absent.insert(command.address);
            break;
        case ControlCommand::Kind::ClearAbsent:
            config_.absent.clear();
            break;
        case ControlCommand::Kind::ClearAll:
            config_.faults.clear();
            config_.absent.clear();
            break;
        }
    }
    Outcome outcome;
    outcome.reply = StatusReply(accepted ? formats::kStatusOk : formats::kStatusRefused);
    return outcome;
}

bool Controller::Gate(Outcome& outcome) const {
    const auto& faults = config_.faults;
    if (faults.count(Fault::Silent) != 0) {
        outcome.kind = Outcome::Kind::Silence;
        return true;
    }
    if (faults.count(Fault::Fatal) != 0) {
        outcome.kind = Outcome::Kind::FatalError;
        return true;
    }
    return faults.count(Fault::Empty) != 0;
}

std::vector<uint8_t> Controller::Answer(Session& session, uint8_t service, const uint8_t* request,
                                        size_t length) {
    const bool refuse = config_.faults.count(Fault::Refuse) != 0;
    switch (service) {
    case formats::kServiceProjectId:
        return ProjectIdReply();
    case formats::kServiceLogin:
        if (length < formats::kLoginLength || refuse) {
            return StatusReply(formats::kStatusRefused);
        }
        loggedIn_ = true;
        return StatusReply(formats::kStatusLoginAccepted);
    case formats::kServiceLogout:
        if (refuse) {
            return StatusReply(formats::kStatusRefused);
        }
        loggedIn_ = false;
        return StatusReply(formats::kStatusOk);
    case formats::kServiceUpload:
        return BeginUpload(session, request, length);
    case formats::kServiceUploadNext:
        return NextChunk(session, length);
    case formats::kServiceRead:
        Play();
        return ReadReply(request, length);
    case formats::kServiceWrite:
        Play();
        return WriteReply(request, length);
    default:
        return StatusReply(formats::kStatusUnknownService);
    }
}

Outcome Controller::Handle(Session& session, const uint8_t* request, size_t length) {
    // The switch is fixed at Configure.
    if (length != 0 && request[0] == formats::kServiceControl && config_.control) {
        return Control(request + 1, length - 1);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Outcome outcome;
    if (Gate(outcome)) {
        return outcome;
    }
    const uint8_t service = length == 0 ? 0 : request[0];
    outcome.reply = Answer(session, service, request, length);
    // The faults that cut the last byte off a reply.
    const auto& faults = config_.faults;
    const bool shortRead = service == formats::kServiceRead && faults.count(Fault::ShortRead) != 0;
    if ((faults.count(Fault::Short) != 0 || shortRead) && !outcome.reply.empty()) {
        outcome.reply.pop_back();
    }
    return outcome;
}

} // namespace plcsim
