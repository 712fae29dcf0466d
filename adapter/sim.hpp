// The programming-adapter emulator: a model of one chip behind the adapter's
// command protocol, for tests and for trying the programmer without hardware.
//
// The chip holds its rows and special pages as the fuse bits the row and page
// commands carry. Erase sets every bit to 1; a write can only turn 1s into 0s.
// Once page 2's first bit is 0 and a release has followed, every read returns
// zeros until the next erase.
//
// The conversion between chip bits and fuse numbers is this emulator's own
// (it maps each fuse number to its row and position, the inverse direction of
// the programmer's code), so that a mistake in one is not shared by the other.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

class Adapter {
public:
    // id_reply is the character the identification reply carries ('1', say).
    Adapter(int32_t code, char id_reply, Faults faults = {});

    // The chip starts holding this map (read protection follows its fuse).
    void load(const FuseMap& map);
    // The chip's contents as a fuse map (reserved fuses 0).
    void save(FuseMap& map) const;

    // Feeds one received byte; replies are appended to out.
    void receive(char c, std::vector<Chunk>& out);

    int32_t code() const { return code_; }
    bool is_protected() const { return protected_; }
    int erase_count() const { return erases_; }
    int command_count() const { return commands_; }

private:
    void command(const std::string& cmd, std::vector<Chunk>& out);
    void reply_row(int address, std::vector<Chunk>& out);
    void reply(int address, const std::string& digits, std::vector<Chunk>& out);
    void write(int address, const std::string& digits);
    std::vector<uint8_t>* cells(int address);
    int bits_of(int address) const;
    int digits_of(int address) const;
    bool locate(int32_t fuse, int& address, int& bit) const;

    int32_t code_;
    char id_reply_;
    Faults faults_;
    std::vector<std::vector<uint8_t>> rows_;  // 251 rows of fuse bits
    std::vector<uint8_t> page_[3];
    bool protected_ = false;
    int erases_ = 0;
    int commands_ = 0;
    std::string line_;
};

// Serves the adapter on the master side of a pseudo-terminal until stop is
// set or the line fails. With pacing, bytes go out at 115200 baud. Every byte
// in both directions is written to log (when given) with a time stamp.
void serve(int fd, Adapter& adapter, bool pacing, const std::atomic<bool>& stop, std::FILE* log);

}  // namespace vr::sim
