#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "core/WorkerQueue.h"

namespace korvane {

struct SmtpTransfer;

// The one thread that owns the curl handle and its connection: libcurl blocks in places (the
// reply to the final dot, QUIT), so nothing of it runs on the window's thread. The window's
// thread hands transfers over and can cut the connection at any moment, in any phase.
class CurlWorker {
public:
    // onDone: called on the worker's thread when a transfer has finished; it must only wake
    // the window's thread.
    explicit CurlWorker(std::function<void()> onDone);
    ~CurlWorker();
    CurlWorker(const CurlWorker&) = delete;
    CurlWorker& operator=(const CurlWorker&) = delete;

    void start(std::shared_ptr<SmtpTransfer> transfer);
    // Says QUIT and closes the kept connection, after what is queued.
    void close();
    // Ends whatever the connection is doing now: the socket is shut down under it.
    void cut();
    // The same, only while the worker is closing the connection (a server slow to answer QUIT).
    void cutIfClosing();
    // Leaves a worker that does not come back to its thread, which ends on its own; the
    // object then stays for that thread's sake.
    void abandon();
    // Connections opened so far, and whether one is open now.
    unsigned long connections() const { return connections_; }
    bool connected() {
        return queue_.locked([this] { return socket_ >= 0; });
    }

private:
    void run();
    void perform(SmtpTransfer& transfer);
    // Every option of one transfer (curl's types stay out of this header).
    void setOptions(void* curl, SmtpTransfer& transfer, void* watch, void* recipients,
                    char* errorBuffer);
    void closeConnection(bool politely);
    static int openSocket(void* self, int purpose, void* address);
    static int closeSocket(void* self, int socket);

    std::function<void()> onDone_;
    WorkerQueue queue_;
    bool closing_ = false;  // what follows is guarded by queue_'s lock
    bool finished_ = false;
    void* curl_ = nullptr;
    int socket_ = -1;  // the connection's socket
    std::atomic<unsigned long> connections_{0};
    std::thread thread_;
};

}  // namespace korvane
