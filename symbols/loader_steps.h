// The symbol loader's requests and reply steps. The requests are written on the loader's
// thread and, for the next chunk of an upload, on the notification thread; the reply steps
// run in the dispatcher on the notification thread, with the context's loaderLock held.
#ifndef KSYM_SYMBOLS_LOADER_STEPS_H
#define KSYM_SYMBOLS_LOADER_STEPS_H

#include <cstdint>

#include "frame/channel_context.h"

namespace ksym {

// Results of ParseUploadReply.
enum UploadReplyResult : int {
    kUploadUnusable = 0, // no device, or a reply too short for what it announces
    kUploadRefused = 1,  // the station refused; uploadDevice has been withdrawn
    kUploadMore = 2,     // a chunk was stored and more follow
    kUploadLast = 3,     // the last chunk was stored; uploadDevice has been withdrawn
};

// Records error 0 and writes the project-identification request (0x11). 1 when the client
// library took the whole telegram.
int SendProjectIdRequest(int32_t channel, ChannelContext& context);
// Records error 0 and writes the upload request for `name` (0x31), or with a null name the
// request for the next chunk (0x32). 1 when the client library took the whole telegram.
int SendUploadRequest(int32_t channel, ChannelContext& context, const char* name);
// Takes in one chunk of the upload; replyLength is the length the reply status reported.
int ParseUploadReply(int32_t channel, ChannelContext& context, uint32_t replyLength);
// Takes in the project-identification reply; 1 when the station's id is in projectId.
int ParseProjectIdReply(int32_t channel, ChannelContext& context, uint32_t replyLength);

} // namespace ksym

#endif
