// The programming-adapter emulator, for tests and for trying the programmer
// without hardware: the adapter's protocol server and chip operations, run
// against the JTAG-level chip model in the same process.
#pragma once

#include "common/clock.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "jtag/model/model_probe.hpp"
#include "adapter/line/pty.hpp"
#include "adapter/server/server.hpp"
#include "fusemap/fusemap.hpp"

namespace vr::sim {

struct Faults {
    bool no_id = false;       // no identification reply
    bool erase_fail = false;  // erase refused ("er" reply, nothing erased)
    bool crlf = false;        // replies end in CR LF
    int stall_row = -1;       // a stall of 700 ms inside the reply of this address
    int wrong_address = -1;
    int bad_hex = -1;
    int nul_row = -1;
    int no_r = -1;
    int no_d = -1;
    int no_e = -1;
    int stuck_fuse = -1;      // this fuse number will not program
    int drop_write = -1;      // the write of this address is lost
};

// Parses "name" or "name=N" into faults; false for an unknown fault.
bool add_fault(Faults& faults, const std::string& option);

// What the adapter sends back: bytes, each run after a delay in milliseconds.
struct Chunk {
    int delay_ms;
    std::string bytes;
};

// The protocol server's link to the host: replies to the line's transmitter
// (while serving), notes to a log (and, when asked, to standard output).
struct ChunkLink final : jtag::Link {
    std::function<void(Chunk)> sink;  // set while serving
    std::FILE* log = nullptr;
    double t0 = 0;
    bool console = false;
    int delay = 0;
    void send(const char* bytes, uint16_t count) override;
    void stall(uint16_t milliseconds) override { delay += milliseconds; }
    void note(const char* text) override;
};

class Adapter {
public:
    // An ATF1508AS (code 8) or ATF1504AS chip whose identification reply
    // carries id_reply ('1', say).
    Adapter(int32_t code, char id_reply, Faults faults = {});
    // Any chip of the family; id_reply (when not 0) replaces the reply's digit.
    Adapter(const model::ModelOptions& chip, char id_reply, Faults faults = {});
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    // The chip starts holding this map (read protection follows its fuse).
    void load(const FuseMap& map) { model_.load(map); }
    // The chip's contents as a fuse map (reserved fuses 0).
    void save(FuseMap& map) const { model_.save(map); }

    // The protocol server and its link, for serve().
    jtag::Server& server() { return server_; }
    ChunkLink& link() { return link_; }

    // Notes of the protocol server and the chip model's operations go here.
    void set_log(std::FILE* log);

    int32_t code() const { return model_.code(); }
    bool is_protected() const { return model_.read_protected(); }
    int erase_count() const { return model_.erases(); }
    int command_count() const { return static_cast<int>(server_.commands); }
    const model::ChipModel& chip() const { return model_; }

private:
    model::ChipModel model_;
    model::ModelProbe probe_;
    ChunkLink link_;
    jtag::Server server_;
};

// Seconds on a steady clock, for the logs' time stamps.
using ::vr::now_seconds;

// Serves one host on a pseudo-terminal's master (fd) until it hangs up
// (after it had the port open), stop is set or the line fails. Replies queued
// for a host that hung up are dropped.
enum class Served { stopped, hung_up, failed };
Served serve_host(int fd, jtag::Server& server, ChunkLink& link, bool pacing, const std::atomic<bool>& stop,
                  std::FILE* log, double t0);

// Serves the adapter on the pseudo-terminal that link_path names until stop
// is set or the line fails. When a host that had the port open closes it,
// the server's session ends and a fresh pseudo-terminal takes the old one's
// place behind link_path. With pacing, bytes go out at 115200 baud. Every
// byte in both directions is written to log (when given), time-stamped from
// t0 (a now_seconds() value).
void serve(Pty& pty, const std::string& link_path, jtag::Server& server, ChunkLink& link, bool pacing,
           const std::atomic<bool>& stop, std::FILE* log, double t0);

}  // namespace vr::sim
