#include "symbols/loader_steps.h"

namespace ksym {

// No loader runs yet, so uploadDevice and projectIdEvent stay null and the dispatcher never
// reaches these; they report an unusable reply should it do so.
int ParseUploadReply(int32_t, ChannelContext&, uint32_t) {
    return kUploadUnusable;
}
int SendUploadRequest(int32_t, ChannelContext&, const char*) {
    return 0;
}
int ParseProjectIdReply(int32_t, ChannelContext&, uint32_t) {
    return 0;
}

} // namespace ksym
