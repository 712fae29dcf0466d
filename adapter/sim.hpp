// The programming-adapter emulator, for tests and for trying the programmer
// without hardware: the adapter's protocol server and chip operations, run
// against the JTAG-level chip model in the same process.
#pragma once

#include "os/clock.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "jtag/model/model_probe.hpp"
#include "adapter/line/serve.hpp"
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

// The reply faults, applied by the emulator to the protocol server's replies
// on their way to the line: each reply is recognised by its shape once its
// CR has come (a data reply "r" aaa "d" ... "e", an identification's digit,
// "ok", "er"). The server itself runs as on the adapter.
class ReplyFaults final : public adapter::Link {
public:
    ReplyFaults(line::ChunkLink& out, const Faults& faults, char id_reply)
        : out_(out), faults_(faults), id_reply_(id_reply) {}
    void send(const char* bytes, uint16_t count) override;
    void note(adapter::Note what, uint16_t value, const jtag::Chip& chip) override { out_.note(what, value, chip); }

private:
    void reply(std::string r);  // one whole reply, its CR included
    line::ChunkLink& out_;
    Faults faults_;
    char id_reply_;
    std::string pending_;
};

// The emulator's fault on the way in: the host's write of one address is
// lost on the line (its whole command), so the server never sees it.
class LostWrite final : public line::Receiver {
public:
    LostWrite(adapter::Server& server, int address) : server_(server), address_(address) {}
    void receive(const char* bytes, uint16_t count) override;
    void hangup() override;

private:
    adapter::Server& server_;
    int address_;       // -1: nothing lost
    std::string line_;  // the command under way, held back until its CR
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

    // The protocol server, what the line delivers to it, and its link, for
    // serve().
    adapter::Server& server() { return server_; }
    line::Receiver& receiver() { return input_; }
    line::ChunkLink& link() { return link_; }

    // Notes of the protocol server and the chip model's operations go here.
    void set_log(std::FILE* log);

    int32_t code() const { return model_.code(); }
    int command_count() const { return static_cast<int>(server_.commands); }
    const model::ChipModel& chip() const { return model_; }

private:
    model::ChipModel model_;
    model::ModelProbe probe_;
    line::ChunkLink link_;
    ReplyFaults faulty_;
    adapter::Server server_;
    LostWrite input_;
};

}  // namespace vr::sim
