// A recovery probe's 12 V switch: about 12 V (VHH) on the chip's OE1 makes
// its pins JTAG whatever the chip's JTAG bit says, for as long as it is
// there. The host side only: the firmware's probe has its own switch.
#pragma once

namespace vr::jtag {

class VppSwitch {
public:
    // Whether this probe has the switch at all.
    virtual bool can_vpp() = 0;
    // On or off; true when the switch is now as asked.
    virtual bool vpp(bool on) = 0;

protected:
    ~VppSwitch() = default;
};

}  // namespace vr::jtag
