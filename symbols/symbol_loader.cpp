#include "symbols/symbol_loader.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "formats/telegram_layout.h"
#include "frame/module_settings.h"
#include "symbols/loader_steps.h"
#include "symbols/sdb_reader.h"
#include "symbols/symbol_file_path.h"
#include "symbols/symbol_table.h"

namespace ksym {

namespace {

constexpr uint32_t kProjectNameSize = 260;
// The room for a path in the utility library's file devices, its NUL included.
constexpr size_t kMaxSymbolFilePath = 255;
std::atomic<uint32_t> projectIdWaitMs{5000};
std::atomic<uint32_t> uploadWaitMs{60000};
std::atomic<void (*)()> readHook{nullptr};

// An event handle closed when it goes out of scope.
class ScopedEvent {
public:
    ScopedEvent() : handle_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ScopedEvent(const ScopedEvent&) = delete;
    ScopedEvent& operator=(const ScopedEvent&) = delete;
    ~ScopedEvent() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// The project identifier in the header of the local file; 0 when there is no such file or
// it has no valid header. The file is closed again at once, before an upload rewrites it.
int32_t ReadLocalProjectId(std::string path) {
    KFileSerDev device(&path[0], SD_READ);
    return device.GetStatus() == 0 ? ReadSdbProjectId(device) : 0;
}

// One exchange of the loader with the station: lends the loader's event (and, for an
// upload, its file device) to the context, so that the dispatcher ends the transaction into
// them; withdraws them again under loaderLock, at the latest when it goes.
class Transaction {
public:
    Transaction(ChannelContext& context, HANDLE event, KBufferedFileSerDev* device)
        : context_(context), upload_(device != nullptr) {
        std::lock_guard<std::mutex> lock(context_.loaderLock);
        // A closed channel has nobody to end the transaction: it does not begin.
        lent_ = !context_.closed.load();
        if (lent_ && upload_) {
            context_.uploadEvent.store(event);
            context_.uploadDevice.store(device);
        } else if (lent_) {
            context_.projectIdEvent.store(event);
        }
    }
    ~Transaction() { End(false); }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // False when the channel was closed before the transaction could begin.
    bool begun() const { return lent_; }

    // Withdraws what was lent; after a wait that timed out the outcome is LoadTimedOut.
    // True when the channel was closed meanwhile.
    bool End(bool timedOut) {
        std::lock_guard<std::mutex> lock(context_.loaderLock);
        if (lent_ && upload_) {
            context_.uploadEvent.store(nullptr);
            context_.uploadDevice.store(nullptr);
        } else if (lent_) {
            context_.projectIdEvent.store(nullptr);
        }
        lent_ = false;
        const bool closed = context_.closed.load();
        if (!closed && timedOut) {
            context_.loadStatus.store(LoadTimedOut);
        }
        return closed;
    }

private:
    ChannelContext& context_;
    const bool upload_;
    bool lent_ = false;
};

// What the project-identifier check decided.
enum class IdCheck {
    Current, // the station confirmed the local file's identifier
    Upload,  // the identifiers differ, the reply failed or never came, or nothing was sent
    Closed,  // the channel was closed meanwhile
};

// Asks the station for its project identifier and compares it with the local file's.
IdCheck CheckProjectId(int32_t channel, ChannelContext& context, int32_t localId) {
    ScopedEvent event;
    if (event.get() == nullptr) {
        return IdCheck::Upload;
    }
    Transaction transaction(context, event.get(), nullptr);
    if (!transaction.begun()) {
        return IdCheck::Closed;
    }
    const bool sent = SendProjectIdRequest(channel, context) != 0;
    const DWORD waited =
        sent ? WaitForSingleObject(event.get(), projectIdWaitMs.load()) : WAIT_FAILED;
    if (transaction.End(waited == WAIT_TIMEOUT)) {
        return IdCheck::Closed;
    }
    return waited == WAIT_OBJECT_0 && context.projectId.load() == localId ? IdCheck::Current
                                                                          : IdCheck::Upload;
}

// Uploads the station's symbol file into `path`. False when the channel was closed
// meanwhile: the half-written file is deleted then.
bool UploadSymbolFile(int32_t channel, ChannelContext& context, std::string path) {
    ScopedEvent event;
    std::unique_ptr<KBufferedFileSerDev> device(new (std::nothrow)
                                                    KBufferedFileSerDev(&path[0], SD_WRITE));
    if (event.get() == nullptr || device == nullptr) {
        return true; // as a request that could not be sent
    }
    Transaction transaction(context, event.get(), device.get());
    bool closed = !transaction.begun();
    if (!closed) {
        const bool sent = SendUploadRequest(channel, context, formats::kUploadFileName) != 0;
        const DWORD waited =
            sent ? WaitForSingleObject(event.get(), uploadWaitMs.load()) : WAIT_FAILED;
        closed = transaction.End(waited == WAIT_TIMEOUT);
    }
    if (closed) {
        // Whatever arrived is incomplete, so the file must not stay behind.
        device.reset();
        DeleteFileA(path.c_str());
        return false;
    }
    return true; // the device completes the file when it goes
}

// Where an upload writes before its file has been read whole: beside the local file (so that
// the rename replacing it stays in one folder), under a name of this process and load alone,
// so that two loads of one project never write into each other's file. A process killed
// meanwhile leaves its part file and the old local file as they were. When the longer name
// does not fit a path, the upload writes the local file itself, as it always could.
std::string PartFilePath(const std::string& path) {
    static std::atomic<uint32_t> serial{0};
    std::string part = path + "." + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(serial.fetch_add(1) + 1) + ".part";
    return part.size() < kMaxSymbolFilePath ? part : path;
}

int ReadSymbolFile(std::string path, ChannelContext& context) {
    if (void (*hook)() = readHook.load()) {
        hook();
    }
    try {
        KBufferedFileSerDev device(&path[0], SD_READ);
        return device.GetStatus() == 0 ? ReadSdbFile(device, context) : 0;
    } catch (const std::bad_alloc&) {
        ClearSymbolTable(context);
        return 0;
    }
}

} // namespace

LoadScope::LoadScope(ChannelContext& context) : context_(context) {
    std::lock_guard<std::mutex> lock(context_.loaderLock);
    began_ = !context_.closed.load();
    context_.loading = began_;
}

LoadScope::~LoadScope() {
    if (!began_) {
        return;
    }
    std::lock_guard<std::mutex> lock(context_.loaderLock);
    EndLocked();
}

void LoadScope::EndLocked() {
    if (!began_) {
        return;
    }
    began_ = false;
    context_.loading = false;
    if (context_.closed.load()) {
        // The close left the table to this load; nobody can use it any more.
        ClearSymbolTable(context_);
    }
}

void SetLoaderReadHook(void (*hook)()) {
    readHook.store(hook);
}

void SetLoaderWaits(uint32_t projectIdMs, uint32_t uploadMs) {
    projectIdWaitMs.store(projectIdMs);
    uploadWaitMs.store(uploadMs);
}

int LoadSymbolTable(int32_t channel, ChannelContext& context) {
    ClearSymbolTable(context);
    char projectName[kProjectNameSize] = {};
    if (KClientGetProjectName(channel, projectName, kProjectNameSize) == 0) {
        return 0;
    }
    projectName[kProjectNameSize - 1] = '\0';
    context.loadStatus.store(LoadFailed);
    if (Settings().uploadEnabled == 0 || context.channelEvent == nullptr) {
        return 0; // no exchange: no table
    }
    const std::string path = SymbolFolder() + "\\" + SymbolFileName(projectName);
    const int32_t localId = ReadLocalProjectId(path);
    const IdCheck check =
        localId == 0 ? IdCheck::Upload : CheckProjectId(channel, context, localId);
    if (check == IdCheck::Closed) {
        return 0; // the local file stays: the station never said it was stale
    }
    if (check == IdCheck::Current && context.loadStatus.load() == LoadDone) {
        if (ReadSymbolFile(path, context) != 0) {
            return BuildSymbolIndex(context) ? 1 : 0;
        }
        // The station confirmed a header whose file cannot be read (damaged, or cut short by
        // a crash while it was written): without a new upload it would never load again.
        context.loadStatus.store(LoadFailed);
    }

    const std::string part = PartFilePath(path);
    if (!UploadSymbolFile(channel, context, part)) {
        return 0;
    }
    if (context.loadStatus.load() != LoadDone || ReadSymbolFile(part, context) == 0) {
        // A failed exchange leaves no file behind, so that the next load uploads afresh.
        DeleteFileA(part.c_str());
        DeleteFileA(path.c_str());
        return 0;
    }
    // Only a file that was read whole replaces the local one, in one step. Should the rename
    // fail, the table read stays good; the next load just uploads again.
    if (part != path && MoveFileExA(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) == 0) {
        DeleteFileA(part.c_str());
    }
    return BuildSymbolIndex(context) ? 1 : 0;
}

} // namespace ksym
