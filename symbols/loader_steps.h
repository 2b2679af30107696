// The symbol loader's reply and request steps, run by the dispatcher on the notification
// thread while the loader waits on the caller's thread.
#ifndef KSYM_SYMBOLS_LOADER_STEPS_H
#define KSYM_SYMBOLS_LOADER_STEPS_H

#include <cstdint>

#include "frame/channel_context.h"

namespace ksym {

// Results of ParseUploadReply.
enum UploadReplyResult : int {
    kUploadUnusable = 0, // too short or malformed
    kUploadRefused = 1,  // the station refused; uploadDevice has been withdrawn
    kUploadMore = 2,     // a chunk was stored and more follow
    kUploadLast = 3,     // the last chunk was stored; uploadDevice has been withdrawn
};

// Takes in one chunk of the upload; replyLength is the length the client library reported.
int ParseUploadReply(int32_t channel, ChannelContext& context, uint32_t replyLength);
// Sends the upload request for `name`, or with a null name the request for the next chunk.
// 1 when the client library took the whole telegram.
int SendUploadRequest(int32_t channel, ChannelContext& context, const char* name);
// Takes in the project-identification reply; 1 when the station's id is in projectId.
int ParseProjectIdReply(int32_t channel, ChannelContext& context, uint32_t replyLength);

} // namespace ksym

#endif
