// The adapter programs' line: the protocol server served on a
// pseudo-terminal, one host after another, replies paced as the wire would
// carry them, every byte logged.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "adapter/line/pty.hpp"
#include "adapter/server/server.hpp"
#include "os/clock.hpp"

namespace vr::line {

// What the adapter sends back: bytes, each run after a delay in milliseconds.
struct Chunk {
    int delay_ms;
    std::string bytes;
};

// The protocol server's link to the host: replies to the line's transmitter
// (while serving), notes to a log (and, when asked, to standard output).
struct ChunkLink final : adapter::Link {
    std::function<void(Chunk)> sink;  // set while serving
    std::FILE* log = nullptr;
    double t0 = 0;
    bool console = false;
    int delay = 0;
    void send(const char* bytes, uint16_t count) override;
    void note(adapter::Note what, uint16_t value, const jtag::Chip& chip) override;
    // A pause before the next bytes sent.
    void stall(uint16_t milliseconds) { delay += milliseconds; }
    // One line of the adapter's own for the operator and the log.
    void say(const std::string& text);
};

// Where the line delivers: the host's bytes, and the end of its session when
// it closes the port.
class Receiver {
public:
    virtual void receive(const char* bytes, uint16_t count) = 0;
    virtual void hangup() = 0;

protected:
    ~Receiver() = default;
};

// The protocol server itself as the receiver.
class ServerReceiver final : public Receiver {
public:
    explicit ServerReceiver(adapter::Server& server) : server_(server) {}
    void receive(const char* bytes, uint16_t count) override { adapter::server_receive(server_, bytes, count); }
    void hangup() override { adapter::server_hangup(server_); }

private:
    adapter::Server& server_;
};

// Serves one host on a pseudo-terminal's master (fd) until it hangs up
// (after it had the port open), stop is set or the line fails. Replies queued
// for a host that hung up are dropped.
enum class Served { stopped, hung_up, failed };
Served serve_host(int fd, Receiver& receiver, ChunkLink& link, bool pacing, const std::atomic<bool>& stop,
                  std::FILE* log, double t0);

// Serves the adapter on the pseudo-terminal that link_path names until stop
// is set or the line fails. When a host that had the port open closes it,
// the receiver's session ends and a fresh pseudo-terminal takes the old one's
// place behind link_path. With pacing, bytes go out at 115200 baud. Every
// byte in both directions is written to log (when given), time-stamped from
// t0 (a os::now_seconds() value).
void serve(Pty& pty, const std::string& link_path, Receiver& receiver, ChunkLink& link, bool pacing,
           const std::atomic<bool>& stop, std::FILE* log, double t0);

}  // namespace vr::line
