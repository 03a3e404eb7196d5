// A TCP proxy that holds every chunk for a fixed time in each direction, as the network
// between an application and a database on another host does. Chunks are delayed, not
// spaced: a chunk that follows another closely leaves closely after it, so the proxy adds
// latency and no throughput limit. Threads and absolute deadlines rather than an event loop:
// epoll's millisecond timeouts would round a quarter millisecond up to a whole one.
// Usage: latency_proxy LISTEN_PORT TARGET_PORT DELAY_MS_EACH_WAY
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
    Clock::time_point due;
    std::string data;  // empty: the sender closed its side
};

// One direction: a reader stamps each chunk with its time to leave, a writer sends it then.
class Direction {
public:
    Direction(int from, int to, Clock::duration delay) : from_(from), to_(to), delay_(delay) {}

    void run() {
        std::thread writer([this] { write(); });
        read();
        writer.join();
    }

private:
    void read() {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(from_, buffer, sizeof buffer);
            std::lock_guard lock(mutex_);
            queue_.push_back(Chunk{Clock::now() + delay_,
                                   got > 0 ? std::string(buffer, size_t(got)) : std::string()});
            ready_.notify_one();
            if (got <= 0) {
                return;
            }
        }
    }

    void write() {
        for (;;) {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return !queue_.empty(); });
            const Clock::time_point due = queue_.front().due;
            while (Clock::now() < due) {
                ready_.wait_until(lock, due);
            }
            Chunk chunk = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            if (chunk.data.empty()) {
                ::shutdown(to_, SHUT_WR);
                ::shutdown(from_, SHUT_RD);
                return;
            }
            for (size_t sent = 0; sent < chunk.data.size();) {
                const ssize_t put =
                    ::write(to_, chunk.data.data() + sent, chunk.data.size() - sent);
                if (put <= 0) {
                    ::shutdown(from_, SHUT_RD);
                    return;
                }
                sent += size_t(put);
            }
        }
    }

    int from_;
    int to_;
    Clock::duration delay_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Chunk> queue_;
};

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void noDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void serve(int client, int target, Clock::duration delay) {
    const int server = connectTo(target);
    if (server < 0) {
        ::close(client);
        return;
    }
    noDelay(client);
    noDelay(server);
    Direction up(client, server, delay);
    Direction down(server, client, delay);
    std::thread back([&down] { down.run(); });
    up.run();
    back.join();
    ::close(client);
    ::close(server);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: latency_proxy LISTEN_PORT TARGET_PORT DELAY_MS_EACH_WAY\n");
        return 2;
    }
    const int target = std::atoi(argv[2]);
    const auto delay = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(std::atof(argv[3])));
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0) {
        std::perror("latency_proxy");
        return 1;
    }
    for (;;) {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client >= 0) {
            std::thread(serve, client, target, delay).detach();
        }
    }
}
