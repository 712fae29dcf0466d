// A probe on a remote_bitbang server (OpenOCD's protocol: a byte per pin
// change, 'R' to read TDO): vrjtag-chip-model, or a board that serves its
// pins so. The TAP's moves are the Nano firmware's own (jtag/probe/
// tap_engine.hpp), so this probe also runs that sequencing on the host.
//
// Pin changes are sent in batches; a TDO read waits for its answer. Waits
// are the host's: the server has carried out every change before it
// answers a read, so a wait is timed from such an answer by the host-wait
// rule (jtag/probe/host_wait.hpp). VPP is SRST ('s' on, 'r' off), as vrjtag-chip-model
// reads it.
#pragma once

#include <string>

#include "os/tcp.hpp"
#include "jtag/probe/probe.hpp"
#include "jtag/probe/vpp.hpp"

namespace vr::jtag {

class RbbProbe final : public Probe, public VppSwitch {
public:
    // HOST:PORT; false with the reason in error. After a failure, reset()
    // tries the server again.
    bool open(const std::string& where, std::string& error);
    // VPP off, 'Q', the connection closed.
    void close();
    ~RbbProbe() { close(); }

    bool ir_scan(uint16_t instruction, uint16_t* captured = 0) override;
    bool dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect,
                 const uint8_t* mask) override;
    bool idle(uint32_t microseconds) override;
    bool reset() override;
    bool flush() override;
    const char* failure_text() const override { return failure_.c_str(); }
    bool can_vpp() override { return tcp_.is_open(); }
    bool vpp(bool on) override;

    // The pin driver of the TAP engine.
    bool clock(bool tms, bool tdi);
    void step(bool tms, bool tdi);

private:
    bool send();
    bool fail(const std::string& why);
    // After a failure: late answers discarded, the connection made again
    // when it was lost.
    bool reach_again();
    // The pins written for the first time (TCK low, the TAP reset).
    void start();
    bool started_ = false;
    os::TcpClient tcp_;
    std::string where_;
    std::string out_;  // pin changes not sent yet
    bool failed_ = false;
    std::string failure_ = "no answer from the remote_bitbang server";
};

}  // namespace vr::jtag
