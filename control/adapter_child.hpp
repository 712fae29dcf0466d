// vrjtag-cli --probe: vrjtag-adapter (and through it OpenOCD) as a child for
// one run, on a private link in a folder of its own. The child runs in a
// process group of its own (the operator's Ctrl-C reaches the CLI only), dies
// with the CLI (PR_SET_PDEATHSIG), and is stopped with SIGTERM and waited for.
#pragma once

#include <sys/types.h>

#include <string>

namespace vr {

struct AdapterChild {
    pid_t pid = -1;
    std::string dir;     // the private folder
    std::string link;    // the adapter's LINK in it
    std::string output;  // the file its output goes to
};

// Starts vrjtag-adapter --probe PROBE [--speed KHZ] and waits until it
// serves; false with the adapter's own words in error when it does not.
bool start_adapter_child(const std::string& probe, const std::string& khz, AdapterChild& child, std::string& error);

// Stops the adapter (it leaves programming mode and stops OpenOCD), waits for
// it, and removes its folder. With show, its output goes to standard error.
void stop_adapter_child(AdapterChild& child, bool show);

}  // namespace vr
