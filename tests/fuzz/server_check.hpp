// The adapter's safety rules, checked on the JTAG-level chip model while the
// protocol server takes any bytes from a host. Used by the fuzz_server target
// and by the tests that prove the checks can fail.
//
// The checks look at the model's own state, at the operations it reports as
// it carries them out, at the host's bytes (framed here independently of
// the server) and at the server's replies, never at the server's state:
//  1. no erase and no program unless a supported chip alone on its chain is
//     attached; no erase unless the host identified it since its last
//     release or hang-up (an identification counts when its reply came
//     back), with the IDCODE read again just before; no erase of an
//     ATF1508 layout after the host asked for an ATF1504 ("#84");
//  2. the JTAG pin bit (word 200's second bit) is never cleared;
//  3. read protection is programmed only when every flash word of the chip
//     (rows, 100, 300) was written by the host and read back, holding what
//     was written, since the last erase of this session, word 200 alone with
//     7, programmed while the host's read of word 100 ("#81") is answered,
//     before its reply, and nothing is programmed after it until the next
//     erase;
//  4. no word is programmed with bits its layout keeps at 1 (the unused row
//     bits of blocks a-c; word 200 other than F or 7);
//  5. no operation is refused by the model (its waits included).
//
// Each input starts from a copy of a prepared chip, and nothing of the
// check's own is allocated while it runs: the fuzzer gets through many
// inputs a second and sees no growth of the heap that could be a leak.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "jtag/model/model_probe.hpp"
#include "adapter/server/server.hpp"

namespace vt {

// Input bytes with a meaning of their own (everything else is a host byte).
constexpr unsigned char byte_hangup = 0xFF;        // the host closes the port
constexpr unsigned char byte_probe_toggle = 0xFE;  // the probe starts or stops failing
constexpr unsigned char byte_all_rows = 0xFD;      // the host writes every row (a long command run)
// Row runs taken per input (more are ignored): one makes a write, a second
// one a write after another erase; each costs hundreds of commands.
constexpr int max_all_rows = 2;
// Words read or programmed per input, after which the rest of the input is
// not sent: about two whole secure writes of the ATF1508AS with their read
// backs. Further block reads reach nothing new; they only make an input slow.
constexpr int max_word_operations = 1000;

class ServerCheck final : vr::model::ModelWatch {
public:
    ServerCheck();
    // Starts again: variant (any byte) picks the chip, its contents and its
    // chain.
    void start(unsigned char variant);
    // One input byte; the first broken rule, or "" while all hold.
    std::string step(unsigned char byte);
    // All of an input: the variant byte, then the rest (up to the word
    // operations allowed).
    std::string run(const unsigned char* data, std::size_t size);
    // Read protection was programmed (and passed the checks) in this input.
    bool protection_seen() const { return protection_seen_; }

private:
    // The server's replies, as far as the rules need them: how many bytes
    // and the first of them since the host's last command ended.
    struct Replies final : vr::adapter::Link {
        int bytes = 0;
        char first = 0;
        void start() { bytes = 0, first = 0; }
        void send(const char* b, uint16_t n) override {
            if (n && bytes == 0) first = b[0];
            bytes += n;
        }
        void note(vr::adapter::Note, uint16_t, const vr::jtag::Chip&) override {}
    };
    // What the chip does, as it does it.
    void erased() override;
    void programmed(int address, vr::model::WordBits data) override;
    void read(int address) override;
    void broke(std::string rule);

    void frame(char c);
    std::string host_byte(char c);
    void host_wrote(const char* cmd, int length);
    std::string check_state();
    std::string check_protection();
    bool holds_written(int address) const;
    void forget_words();

    vr::model::ChipModel snapshots_[6];
    vr::model::ChipModel model_;
    vr::model::ModelProbe probe_{model_};
    Replies link_;
    vr::adapter::Server server_;
    bool supported_ = true, big_ = false;

    // The host's side, framed here.
    std::array<char, 101> line_{};
    int length_ = 0;
    bool too_long_ = false;
    bool identified_ = false;
    char asked_ = 0;             // 'I' or '4': the identification the host asked for and was answered
    bool reading_word_100_ = false;  // the host's "#81" is being answered
    int all_rows_ = 0;
    int word_operations_ = 0;
    // Since the last erase in this session: the field the host last wrote
    // to each address, and whether a read followed its last program.
    std::array<bool, 0x301> written_{};
    std::array<std::array<char, 84>, 0x301> fields_{};
    std::array<bool, 0x301> read_back_{};
    bool protected_ = false, protection_seen_ = false;
    std::string broken_;  // the first rule the chip's operations broke
};

}  // namespace vt
