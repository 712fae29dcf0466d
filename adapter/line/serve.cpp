#include "adapter/line/serve.hpp"

#include "adapter/line/pty.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace vr::line {

void ChunkLink::send(const char* bytes, uint16_t count) {
    if (sink) sink(Chunk{delay, std::string(bytes, count)});
    delay = 0;
}

void ChunkLink::note(const char* text) {
    if (console) std::printf("%s\n", text), std::fflush(stdout);
    if (!log) return;
    std::fprintf(log, "%.6f note %s\n", now_seconds() - t0, text);
    std::fflush(log);
}

namespace {

// One line per call, written whole: the receiving loop and the transmitter
// log from two threads.
void log_bytes(std::FILE* log, double t0, const char* dir, const char* data, std::size_t n) {
    if (!log || n == 0) return;
    char head[64];
    std::snprintf(head, sizeof head, "%.6f %s ", now_seconds() - t0, dir);
    std::string line = head;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            line += static_cast<char>(c);
        } else {
            char x[8];
            std::snprintf(x, sizeof x, "\\x%02X", c);
            line += x;
        }
    }
    line += " " + std::to_string(n) + "\n";
    std::fputs(line.c_str(), log);
    std::fflush(log);
}

}  // namespace

namespace {

// The adapter's transmitter: replies queue here as the server makes them and
// go out on the line from a thread of their own, paced at 115200 baud when
// asked, so that the line carries one reply while the chip works on the next.
class Transmitter {
public:
    Transmitter(int fd, bool pacing, const std::atomic<bool>& stop, std::FILE* log, double t0)
        : fd_(fd), pacing_(pacing), stop_(stop), log_(log), t0_(t0), thread_([this] { run(); }) {}
    ~Transmitter() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void push(Chunk c) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(c));
        }
        wake_.notify_all();
    }
    bool failed() const { return failed_.load(); }
    // The host has gone: what is queued and what is under way is dropped.
    void abort() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.clear();
            aborted_ = true;
        }
        wake_.notify_all();
    }

private:
    void run() {
        using clock = std::chrono::steady_clock;
        const auto byte_time = std::chrono::nanoseconds(86806);  // 10 bits at 115200 baud
        auto next = clock::now();
        for (;;) {
            Chunk c;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return done_ || aborted_ || !queue_.empty(); });
                if (queue_.empty() || aborted_) return;
                c = std::move(queue_.front());
                queue_.pop_front();
            }
            if (c.delay_ms > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.delay_ms));
                next = clock::now();
            }
            // Paced: a few bytes at a time, each run sent when the line has
            // carried the bytes before it.
            std::size_t pos = 0;
            while (pos < c.bytes.size() && !stop_.load() && !aborted_.load()) {
                const std::size_t len = pacing_ ? std::min<std::size_t>(12, c.bytes.size() - pos) : c.bytes.size() - pos;
                if (pacing_) {
                    if (next < clock::now()) next = clock::now();
                    std::this_thread::sleep_until(next);
                    next += byte_time * static_cast<long>(len);
                }
                const ssize_t w = ::write(fd_, c.bytes.data() + pos, len);
                if (w < 0) {
                    if (errno == EAGAIN) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    if (errno == EINTR || errno == EAGAIN) continue;
                    failed_ = true;
                    return;
                }
                log_bytes(log_, t0_, "out", c.bytes.data() + pos, static_cast<std::size_t>(w));
                pos += static_cast<std::size_t>(w);
            }
        }
    }

    int fd_;
    bool pacing_;
    const std::atomic<bool>& stop_;
    std::FILE* log_;
    double t0_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Chunk> queue_;
    bool done_ = false;
    std::atomic<bool> aborted_{false};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

}  // namespace

Served serve_host(int fd, jtag::Server& server, ChunkLink& link, bool pacing, const std::atomic<bool>& stop,
                  std::FILE* log, double t0) {
    Transmitter tx(fd, pacing, stop, log, t0);
    link.sink = [&tx](Chunk c) { tx.push(std::move(c)); };
    Served result = Served::stopped;
    bool host = false;  // a program has had the port open
    char in[512];
    while (!stop.load()) {
        if (tx.failed()) {
            result = Served::failed;
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 50);
        if (r < 0 && errno != EINTR) {
            result = Served::failed;
            break;
        }
        if (r < 0) continue;
        if (r == 0 || !(p.revents & POLLHUP)) host = true;
        if (p.revents & (POLLERR | POLLNVAL)) {
            result = Served::failed;
            break;
        }
        if (p.revents & POLLHUP && !(p.revents & POLLIN)) {
            if (host) {
                result = Served::hung_up;
                tx.abort();
                break;
            }
            // No program holds the line yet.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        if (r == 0) continue;
        const ssize_t n = ::read(fd, in, sizeof in);
        if (n <= 0) {
            if (n == 0 || errno == EINTR || errno == EAGAIN || errno == EIO) continue;
            result = Served::failed;
            break;
        }
        log_bytes(log, t0, "in", in, static_cast<std::size_t>(n));
        jtag::server_receive(server, in, static_cast<uint16_t>(n));
    }
    link.sink = nullptr;
    return result;
}

void serve(Pty& pty, const std::string& link_path, jtag::Server& server, ChunkLink& link, bool pacing,
           const std::atomic<bool>& stop, std::FILE* log, double t0) {
    for (;;) {
        const Served s = serve_host(pty.master, server, link, pacing, stop, log, t0);
        if (s != Served::hung_up) return;
        if (log) std::fprintf(log, "%.6f hangup\n", now_seconds() - t0), std::fflush(log);
        jtag::server_hangup(server);
        std::string error;
        if (!renew_pty_link(link_path, pty, error)) {
            if (log) std::fprintf(log, "%.6f %s\n", now_seconds() - t0, error.c_str()), std::fflush(log);
            link.note(error.c_str());
            return;
        }
    }
}

}  // namespace vr::line
