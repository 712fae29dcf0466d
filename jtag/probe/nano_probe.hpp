// A probe for the direct route through the Nano in probe mode: the binary
// JTAG protocol of OpenOCD's `buspirate` driver over the serial port.
//
// The bits of a chip operation are queued and sent as TAP shift commands
// (TDI/TMS pairs, or TDI alone where TMS stays low) before a wait, when
// captured bits are wanted, and at flush. Commands stream: the host never has
// more than a ring's worth of bytes on their way to the Nano, so that a fast
// line never overruns it, and takes the replies as they come. Waits are the
// Nano's own, on its clock, each at least 1.01 times what is asked. Every
// flush sends a request for the Nano's status, which says whether every bit reached the pins (a
// target without a safe supply is refused by the Nano), whether the Nano
// released them by itself, and whether every byte arrived unchanged both
// ways (CRC-8). The pins are asked for only at the first scan, so that a
// recovery switches VPP on before any of them is driven.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "jtag/probe/probe.hpp"
#include "jtag/probe/vpp.hpp"

namespace vr::jtag {

class NanoProbe final : public Probe, public VppSwitch {
public:
    NanoProbe() = default;
    ~NanoProbe();
    NanoProbe(const NanoProbe&) = delete;
    NanoProbe& operator=(const NanoProbe&) = delete;

    // Opens the port, waits boot_wait_ms (a Nano resets when the port opens),
    // enters probe mode and the fast line. False, with the reason in error,
    // when the Nano did not answer.
    bool open(const char* path, int boot_wait_ms, std::string& error);
    // Back to the adapter protocol at 115200 baud, the port closed.
    void close();

    bool ir_scan(uint16_t instruction, uint16_t* captured = 0) override;
    bool dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect,
                 const uint8_t* mask) override;
    bool idle(uint32_t microseconds) override;
    bool reset() override;
    bool flush() override;
    // Reads stream: 32 words may be outstanding.
    bool dr_scan_later(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect,
                       const uint8_t* mask) override;
    void batch_end() override;
    bool collect() override;
    bool collect_again() const override { return again_; }
    uint8_t read_ahead() override { return 32; }
    // Why the Nano refuses to drive the pins (its supplies), or null.
    ChainProblem chain_problem() override;
    const char* failure_text() const override { return failure_.c_str(); }
    // D9's switch (the firmware turns it on only while it drives the pins).
    bool can_vpp() override { return open_; }
    bool vpp(bool on) override;

    // Every command and reply, time-stamped from t0.
    void set_log(std::FILE* log, double t0) { log_ = log, t0_ = t0; }

    // The TAP engine's pin driver: one TCK cycle queued (the captured bits
    // come back with the shift commands, so the engine never asks for TDO).
    void step(bool tms, bool tdi);

private:
    // A command's reply, as the stream expects it.
    struct Reply {
        enum Kind { none, shift, tdi_shift, wait, status, pad } kind;
        uint32_t bits;      // a shift's; a pad's bytes
        bool keep;          // a shift's TDO bytes kept in captured_
        uint64_t start;     // where the command begins in the stream
        std::size_t length; // its bytes
        uint32_t got;       // reply bytes taken
        uint16_t header;    // a shift's echoed bit count
        bool silent;        // a shift refused from its start: no TDO bytes
        bool batch = false; // a status that ends a batch of scans read ahead
        uint8_t answer[4] = {};  // a status reply
        uint8_t crc_in = 0, crc_out = 0;  // a status's expected CRCs
    };
    struct Piece {
        std::vector<uint8_t> bytes;
        std::size_t sent = 0;
        Reply reply{};
    };
    void queue(std::vector<uint8_t> bytes, Reply::Kind kind, uint32_t bits, bool keep);
    void emit_shift(bool keep);
    struct Batch;
    bool pump(bool all, const Batch* until = nullptr, bool filler = false);
    void queue_status();
    bool owes_answer() const;
    std::size_t expected_bytes() const;
    void take(uint8_t byte);
    void done_reply();
    // The queued bits shifted and every reply in; the TDO bytes of the shift.
    bool capture(std::vector<uint8_t>& tdo);
    bool drain();
    bool check_flags();
    std::string refusal_after();
    bool exchange(const uint8_t* out, std::size_t n, uint8_t* in, std::size_t m);
    // Every byte to and from the Nano, into the CRCs its status is checked by.
    void send(const uint8_t* out, std::size_t n);
    long receive(uint8_t* in, std::size_t m);
    bool read_until(const char* text, int timeout_ms);
    bool settle(const uint8_t* reply, uint8_t expect_in, uint8_t expect_out);
    bool volts(uint16_t& target_mv, uint16_t& nano_mv);
    bool fail(const std::string& why);
    std::string refusal();
    void log_bytes(const char* dir, const uint8_t* data, std::size_t n);

    bool open_ = false;
    bool failed_ = false;
    std::vector<uint8_t> tdi_, tms_;  // queued bits, packed
    uint32_t queued_ = 0;
    uint8_t flags_ = 0;  // the Nano's status since the last flush
    uint8_t sent_crc_ = 0, heard_crc_ = 0;  // since the last status
    bool asked_ = false;  // the port mode that drives the pins was sent
    std::deque<Piece> pieces_;     // commands not wholly sent
    std::deque<Reply> replies_;    // replies owed, oldest first
    uint64_t sent_total_ = 0, consumed_ = 0, silent_until_ = 0;
    uint32_t r_got_ = 0;           // reply bytes taken for replies_
    std::vector<uint8_t> captured_;
    // Scans read ahead: where their bits will be in captured_.
    struct Later {
        uint8_t* tdo;
        uint16_t bits;
        uint64_t at;
    };
    std::vector<Later> later_;
    uint64_t kept_bytes_ = 0;  // TDO bytes the kept shifts will bring
    uint64_t dropped_ = 0;     // of them, taken out of captured_'s front
    // Scans read ahead, a batch at a time, each ended by a status: a batch is
    // collected once its status is in, while the next ones stream.
    struct Batch {
        std::size_t scans;   // its entries in later_, from the front
        uint64_t end_bytes;  // kept_bytes_ at its end
        bool settled = false, damaged = false;
    };
    std::deque<Batch> batches_;
    bool again_ = false;
    void forget_later();
    bool refused_ = false;
    std::string failure_ = "no answer from the Nano";
    std::FILE* log_ = nullptr;
    double t0_ = 0;
};

}  // namespace vr::jtag
