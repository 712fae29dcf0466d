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
    line::ChunkLink& link() { return link_; }

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
    line::ChunkLink link_;
    jtag::Server server_;
};

}  // namespace vr::sim
