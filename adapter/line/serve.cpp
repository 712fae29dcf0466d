#include "adapter/line/serve.hpp"

#include "adapter/line/pty.hpp"
#include "adapter/server/notes.hpp"
#include "common/byte_log.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
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

void ChunkLink::say(const std::string& text) {
    if (console) std::printf("%s\n", text.c_str()), std::fflush(stdout);
    if (!log) return;
    std::fprintf(log, "%.6f note %s\n", os::now_seconds() - t0, text.c_str());
    std::fflush(log);
}

void ChunkLink::note(adapter::Note what, uint16_t value, const jtag::Chip& chip) {
    const std::string text = adapter::note_text(what, value, chip);
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        say(text.substr(at, end - at));
        at = end + 1;
    }
}

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
                log_bytes(log_, os::now_seconds() - t0_, "out", c.bytes.data() + pos, static_cast<std::size_t>(w));
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

Served serve_host(int fd, Receiver& receiver, ChunkLink& link, bool pacing, const std::atomic<bool>& stop,
                  std::FILE* log, double t0) {
    Transmitter tx(fd, pacing, stop, log, t0);
    link.sink = [&tx](Chunk c) { tx.push(std::move(c)); };
    Served result = Served::stopped;
    HostWatch host;
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
        if (p.revents & (POLLERR | POLLNVAL)) {
            result = Served::failed;
            break;
        }
        if (host.seen(p.revents) == HostWatch::closed) {
            result = Served::hung_up;
            tx.abort();
            break;
        }
        if (p.revents & POLLHUP && !(p.revents & POLLIN)) {
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
        log_bytes(log, os::now_seconds() - t0, "in", in, static_cast<std::size_t>(n));
        receiver.receive(in, static_cast<uint16_t>(n));
    }
    link.sink = nullptr;
    return result;
}

void serve(Pty& pty, const std::string& link_path, Receiver& receiver, ChunkLink& link, bool pacing,
           const std::atomic<bool>& stop, std::FILE* log, double t0) {
    for (;;) {
        const Served s = serve_host(pty.master, receiver, link, pacing, stop, log, t0);
        if (s != Served::hung_up) return;
        if (log) std::fprintf(log, "%.6f hangup\n", os::now_seconds() - t0), std::fflush(log);
        // The fresh pseudo-terminal first: ending the session takes the chip
        // out of programming mode (tens of milliseconds), and a host that
        // opens the port meanwhile must find the new one, not the old one
        // about to be closed under it. Its bytes wait until the session has
        // ended.
        std::string error;
        const bool renewed = renew_pty_link(link_path, pty, error);
        receiver.hangup();
        if (!renewed) {
            if (log) std::fprintf(log, "%.6f %s\n", os::now_seconds() - t0, error.c_str()), std::fflush(log);
            link.say(error);
            return;
        }
    }
}

}  // namespace vr::line
