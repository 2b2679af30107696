// What a simulated controller keeps for one client channel between its requests: the upload
// in progress.
#ifndef KSYM_PLCSIM_SESSION_H
#define KSYM_PLCSIM_SESSION_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace plcsim {

// Threads: a session belongs to one channel and is touched only by the thread that hands
// that channel's requests to Controller::Handle (the client's simulator worker), so it needs
// no lock of its own. Several sessions may share one controller.
struct Session {
    // The symbol file being uploaded, taken when the upload began: switching the project
    // meanwhile does not change the bytes this upload delivers. Null: no upload in progress.
    std::shared_ptr<const std::vector<uint8_t>> upload;
    size_t position = 0; // bytes of `upload` already sent
};

} // namespace plcsim

#endif
