// The bounds ksym serve holds every HTTP client to, whatever the HTTP library would allow:
// the size and number of lines of a request head, the time a head may take to arrive, what
// a body may take on the wire (chunked bodies included), and how long a client that does not
// read may hold a write.
//
// The library reads each connection on one of its workers, so a client that trickles its
// head a byte at a time holds a worker for as long as it likes, and enough of them starve
// everyone else. Here the library's own connection handling is replaced: one reader thread
// collects the heads of all connections that are waiting for one (non-blocking, each with a
// deadline), and only a connection whose head has arrived whole goes to a worker, which then
// runs the library's request processing over a stream of this file's. Stop ends every
// connection at once, whatever its client does.
//
// Threads: the library's accept loop hands each connection over (process_and_close_socket);
// the head reader owns the connections that wait for a head; a worker owns the one it serves
// and gives it back to the head reader for the next request on it.
#ifndef KSYM_TOOLS_HTTP_GUARD_H
#define KSYM_TOOLS_HTTP_GUARD_H

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ksymtool {

struct HttpLimits {
    size_t maxHeadBytes = 16 * 1024;     // request line and header fields of one request
    size_t maxHeadLines = 100;           // lines of one head, the request line included
    uint32_t headMs = 10000;             // a head must arrive whole within this
    uint32_t keepAliveMs = 5000;         // an idle connection waits this long for its next request
    size_t maxBodyWireBytes = 80 * 1024; // what one body may take on the wire, framing included
    uint32_t bodyMs = 10000;             // the rest of a request (its body) after its head
    uint32_t writeMs = 5000;             // a client that takes nothing of a reply for this long
    size_t maxRequestsPerConnection = 100;
    size_t maxWaiting = 512; // connections waiting for a head or a worker; beyond: turned away
    size_t workers = 40;
};

struct GuardedConnection;

class GuardedServer : public httplib::Server {
public:
    explicit GuardedServer(HttpLimits limits);
    ~GuardedServer() override;
    GuardedServer(const GuardedServer&) = delete;
    GuardedServer& operator=(const GuardedServer&) = delete;

    // Starts the head reader and the workers; false when a thread cannot be made. Call it
    // before listen_after_bind.
    bool StartGuard();
    // Stops listening and ends every connection and thread; the library's listen loop then
    // returns. Idempotent.
    void StopAll();

    // Connections served right now by workers, and waiting for a head (for tests and
    // /api/station).
    size_t Waiting() const;

private:
    // Called by the library's accept loop for each new connection: hands it to the head reader.
    bool process_and_close_socket(socket_t sock) override;

    void ReadHeads();
    // What became of a connection in its turn with the head reader.
    enum class HeadTurn { Waiting, Served, Closed };
    // One connection's turn in the head reader, given what poll said of it (`events`): more
    // of its head read; then it waits on, went to a worker, or was refused or lost (closed
    // as the reader's list of pending connections goes).
    HeadTurn ReadHead(std::unique_ptr<GuardedConnection>& connection, short events,
                      std::chrono::steady_clock::time_point now);
    void Work();
    void Serve(std::unique_ptr<GuardedConnection> connection);
    // Gives a connection to the head reader (a new one, or one that waits for its next
    // request); closes it when too many wait already or the server stops.
    void Wait(std::unique_ptr<GuardedConnection> connection);
    void Wake();

    const HttpLimits limits_;
    std::atomic<bool> stopping_{false};
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::thread reader_;
    std::vector<std::thread> workers_;

    mutable std::mutex mutex_; // guards the two queues and the count
    std::condition_variable ready_;
    std::deque<std::unique_ptr<GuardedConnection>> incoming_; // for the head reader
    std::deque<std::unique_ptr<GuardedConnection>> served_;   // heads whole, for a worker
    size_t waiting_ = 0; // owned by the head reader or queued, not by a worker
};

} // namespace ksymtool

#endif
