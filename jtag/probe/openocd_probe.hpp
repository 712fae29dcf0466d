// A probe that sends OpenOCD's Tcl commands (irscan, drscan, sleep, runtest,
// pathmove) to a running OpenOCD, so that any JTAG probe OpenOCD drives can
// carry the adapter's operations to a real chip.
//
// The calls of one chip operation are queued and sent as one Tcl command at
// flush, at a scan whose captured bits are wanted, and before a wait, which
// the host times from OpenOCD's answer: two round trips per word. Every command is wrapped in `catch`, because OpenOCD answers errors
// as plain text. After a failure the probe stays failed (every call returns
// false) until the next TAP reset, IDCODE instruction or chain check, which
// reconnect: so an OpenOCD restarted mid-run is picked up again at a TAP
// reset, never in the middle of a programming sequence. When no OpenOCD
// answers there and the run started its own, it is started once more (once).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "jtag/probe/probe.hpp"
#include "jtag/probe/vpp.hpp"
#include "os/tcp.hpp"

namespace vr::jtag {

class OpenocdProbe final : public Probe, public VppSwitch {
public:
    OpenocdProbe(std::string host, std::string port, std::string tap);
    ~OpenocdProbe();
    OpenocdProbe(const OpenocdProbe&) = delete;
    OpenocdProbe& operator=(const OpenocdProbe&) = delete;

    bool ir_scan(uint16_t instruction, uint16_t* captured = 0) override;
    bool dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect,
                 const uint8_t* mask) override;
    bool idle(uint32_t microseconds) override;
    bool reset() override;
    bool flush() override;
    // OpenOCD's own view: the TAPs it knows (ours, and no auto-created one
    // for an undeclared device) and the instruction captures it checks when
    // it examines the chain again.
    ChainProblem chain_problem() override;

    // A recovery probe's configuration defines the Tcl procedure
    // `vrjtag_vpp on|off` (an FT232H pin through ftdi set_signal, SRST over
    // remote_bitbang): VPP through it.
    bool can_vpp() override;
    bool vpp(bool on) override;

    // Runs one Tcl command of the caller's (after what is queued); its result
    // in result. Reconnects first when the probe has failed.
    bool command(const std::string& tcl, std::string& result);

    // Starts OpenOCD again when the one this run started died: its new Tcl
    // port in port, else false with the reason in error. Used once.
    using Relaunch = std::function<bool(std::string& port, std::string& error)>;
    void set_relaunch(Relaunch relaunch) { relaunch_ = std::move(relaunch); }

    // Every Tcl command and its answer, time-stamped from t0.
    void set_log(std::FILE* log, double t0) { log_ = log, t0_ = t0; }
    // What went wrong last ("no answer from OpenOCD ...", or OpenOCD's message).
    const char* failure_text() const override { return failure_.c_str(); }

private:
    bool connect();
    void disconnect(const std::string& why);
    // Runs one command; its result (without the status) in result.
    bool call(const std::string& command, std::string& result, int timeout_ms = 10000);
    // Adds a command to the queue; false when the probe has failed.
    bool queue(const std::string& command);
    // Sends the queue; the last command's result in result.
    bool send_queue(std::string& result);
    // Reconnects where a sequence starts, when the probe has failed.
    bool restart();

    std::string host_, port_, tap_;
    os::TcpClient tcp_;
    bool failed_ = false;
    bool ir_since_reset_ = false;
    std::string batch_;
    int64_t confirmed_ns_ = 0;  // when OpenOCD last answered (steady clock)
    std::string failure_;
    std::FILE* log_ = nullptr;
    double t0_ = 0;
    Relaunch relaunch_;
};

}  // namespace vr::jtag
