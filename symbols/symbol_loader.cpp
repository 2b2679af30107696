#include "symbols/symbol_loader.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "extern/kclient.h"
#include "extern/kutil.h"
#include "frame/channel_table.h"
#include "frame/module_settings.h"
#include "symbols/loader_steps.h"
#include "symbols/sdb_reader.h"
#include "symbols/symbol_file_path.h"
#include "symbols/symbol_table.h"

namespace ksym {

namespace {

constexpr uint32_t kProjectNameSize = 260;
std::atomic<uint32_t> projectIdWaitMs{5000};
std::atomic<uint32_t> uploadWaitMs{60000};

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

// Asks the station for its project identifier. True when the local file must be uploaded
// afresh: the identifiers differ, the reply failed or never came, or the request could not
// be sent.
bool StationWantsUpload(int32_t channel, ChannelContext& context, int32_t localId) {
    ScopedEvent event;
    if (event.get() == nullptr) {
        return true;
    }
    context.projectIdEvent.store(event.get());
    bool upload = true;
    const bool sent = SendProjectIdRequest(channel, context) != 0;
    const DWORD waited =
        sent ? WaitForSingleObject(event.get(), projectIdWaitMs.load()) : WAIT_FAILED;
    {
        std::lock_guard<std::mutex> lock(context.loaderLock);
        if (waited == WAIT_TIMEOUT) {
            context.loadStatus.store(LoadTimedOut);
        } else if (waited == WAIT_OBJECT_0) {
            upload = context.projectId.load() != localId;
        }
        context.projectIdEvent.store(nullptr);
    }
    return upload;
}

// Uploads the station's symbol file into `path`. False when the channel was closed during
// the wait: the context is gone then and must not be touched.
bool UploadSymbolFile(int32_t channel, ChannelContext& context, std::string path) {
    ScopedEvent event;
    std::unique_ptr<KBufferedFileSerDev> device(new (std::nothrow)
                                                    KBufferedFileSerDev(&path[0], SD_WRITE));
    if (event.get() == nullptr || device == nullptr) {
        return true; // as a request that could not be sent
    }
    context.uploadEvent.store(event.get());
    context.uploadDevice.store(device.get());
    const bool sent = SendUploadRequest(channel, context, kUploadFileName) != 0;
    const DWORD waited = sent ? WaitForSingleObject(event.get(), uploadWaitMs.load()) : WAIT_FAILED;
    if (waited == WAIT_TIMEOUT && FindChannelContext(channel) != &context) {
        // Closed meanwhile: the notification thread has ended, nothing else can reach the
        // device. Whatever arrived is incomplete, so the file must not stay behind.
        device.reset();
        DeleteFileA(path.c_str());
        return false;
    }
    std::lock_guard<std::mutex> lock(context.loaderLock);
    if (waited == WAIT_TIMEOUT) {
        context.loadStatus.store(LoadTimedOut);
    }
    context.uploadEvent.store(nullptr);
    context.uploadDevice.store(nullptr);
    return true; // the device completes the file when it goes
}

int ReadSymbolFile(std::string path, ChannelContext& context) {
    try {
        KBufferedFileSerDev device(&path[0], SD_READ);
        return device.GetStatus() == 0 ? ReadSdbFile(device, context) : 0;
    } catch (const std::bad_alloc&) {
        ClearSymbolTable(context);
        return 0;
    }
}

} // namespace

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
    std::string path;
    if (Settings().uploadEnabled != 0 && context.channelEvent != nullptr) {
        path = SymbolFolder() + "\\" + SymbolFileName(projectName);
        const int32_t localId = ReadLocalProjectId(path);
        const bool upload = localId == 0 || StationWantsUpload(channel, context, localId);
        if (upload && !UploadSymbolFile(channel, context, path)) {
            return 0;
        }
    }
    if (context.loadStatus.load() != LoadDone) {
        // A failed exchange leaves no file behind, so that the next load uploads afresh.
        if (!path.empty()) {
            DeleteFileA(path.c_str());
        }
        return 0;
    }
    if (ReadSymbolFile(path, context) == 0) {
        return 0;
    }
    return BuildSymbolIndex(context) ? 1 : 0;
}

} // namespace ksym
