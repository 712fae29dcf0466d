// A probe that sends OpenOCD's Tcl commands (irscan, drscan, sleep, pathmove)
// to a running OpenOCD, so that any JTAG probe OpenOCD drives can carry the
// adapter's operations to a real chip.
//
// Every command is wrapped in `catch`, because OpenOCD answers errors as plain
// text. After a failure the probe stays failed (every call returns false)
// until the next TAP reset or IDCODE instruction, which reconnect: so an
// OpenOCD restarted mid-run is picked up again at the next identification,
// never in the middle of a programming sequence.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "adapter/probe/probe.hpp"

namespace vr::jtag {

class OpenocdProbe final : public Probe {
public:
    OpenocdProbe(std::string host, std::string port, std::string tap);
    ~OpenocdProbe();
    OpenocdProbe(const OpenocdProbe&) = delete;
    OpenocdProbe& operator=(const OpenocdProbe&) = delete;

    bool ir_scan(uint16_t instruction) override;
    bool dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t* expect,
                 const uint8_t* mask) override;
    bool idle(uint32_t microseconds) override;
    bool reset() override;

    // Every Tcl command and its answer, time-stamped.
    void set_log(std::FILE* log, double t0) { log_ = log, t0_ = t0; }
    // What went wrong last ("no answer from OpenOCD ...", or OpenOCD's message).
    const char* failure_text() const override { return failure_.c_str(); }

private:
    bool connect();
    void disconnect(const std::string& why);
    // Runs one command; its result (without the status) in result.
    bool call(const std::string& command, std::string& result, int timeout_ms = 10000);

    std::string host_, port_, tap_;
    int fd_ = -1;
    bool failed_ = false;
    bool ir_since_reset_ = false;
    std::string failure_;
    std::FILE* log_ = nullptr;
    double t0_ = 0;
};

}  // namespace vr::jtag
