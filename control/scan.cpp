#include "control/scan.hpp"

#include <cstdarg>
#include <cstdio>

#include "common/bits.hpp"
#include "control/openocd_chain.hpp"
#include "jtag/chip/texts.hpp"

namespace vr {

namespace {
std::function<void(const std::string&)> scan_sink;
}  // namespace

void set_scan_output(std::function<void(const std::string&)> sink) { scan_sink = std::move(sink); }

void scan_print(const char* format, ...) {
    char text[2048];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (scan_sink) scan_sink(text);
    else std::fputs(text, stdout);
}

std::string identification_problem(const jtag::Chip& chip, jtag::IdResult r) {
    if (r == jtag::id_found) return {};
    std::string text = (r == jtag::id_probe_failed ? "the probe failed: " : "") + jtag::identification_text(chip, r);
    if (r == jtag::id_no_chip) text += ": check power, GND, TDI/TDO and the clock (vrjtag-cli scan shows the chain)";
    if (jtag::nothing_answers(chip, r)) text += std::string("; ") + jtag::recover_hint();
    return text;
}

bool scan_identify(jtag::Probe& probe, bool speed_option) {
    jtag::Chip chip;
    jtag::chip_init(chip, probe);
    const jtag::IdResult id = jtag::chip_identify(chip);
    scan_print("identification: %s\n",
                (id == jtag::id_found ? jtag::identification_text(chip, id) : identification_problem(chip, id)).c_str());
    // The link test shifts through the chip alone: with anything else on the
    // chain its bit errors would only mislead.
    return id == jtag::id_found && link_test(probe, 100, speed_option);
}

bool link_test(jtag::Probe& probe, int rounds, bool speed_option) {
    uint8_t ones[4] = {0xFF, 0xFF, 0xFF, 0xFF}, out[4];
    uint32_t first = 0;
    int id_errors = 0, bypass_errors = 0, failed = 0;
    for (int i = 0; i < rounds; ++i) {
        if (!probe.ir_scan(jtag::ir_idcode) || !probe.dr_scan(32, ones, out, nullptr, nullptr) || !probe.flush()) {
            ++failed;
            continue;
        }
        const uint32_t v = word32_of(out);
        if (i == 0) first = v;
        id_errors += __builtin_popcount(v ^ first);
    }
    // BYPASS: one bit between TDI and TDO, capturing 0: a pattern comes back
    // one bit later.
    for (int i = 0; i < rounds; ++i) {
        const uint32_t pattern = 0xA5C3F00Fu ^ static_cast<uint32_t>(i * 0x01010101u);
        uint8_t in[4] = {static_cast<uint8_t>(pattern), static_cast<uint8_t>(pattern >> 8),
                         static_cast<uint8_t>(pattern >> 16), static_cast<uint8_t>(pattern >> 24)};
        if (!probe.ir_scan(jtag::ir_bypass) || !probe.dr_scan(32, in, out, nullptr, nullptr) || !probe.flush()) {
            ++failed;
            continue;
        }
        const uint32_t v = word32_of(out);
        bypass_errors += __builtin_popcount(v ^ (pattern << 1));
    }
    probe.reset();
    probe.flush();
    scan_print("link test: IDCODE %s read %d times, %d bit error%s; BYPASS pattern shifted %d times, %d bit error%s",
                jtag::hex32(first).c_str(), rounds, id_errors, id_errors == 1 ? "" : "s", rounds, bypass_errors,
                bypass_errors == 1 ? "" : "s");
    if (failed) scan_print("; %d scans failed (%s)", failed, probe.failure_text());
    scan_print("\n");
    const bool sound = id_errors == 0 && bypass_errors == 0 && failed == 0 && first != 0 && first != 0xFFFFFFFFu;
    if (!sound && speed_option)
        scan_print("the link is not reliable: try a lower clock (--speed with half the current value, or 100), "
                    "shorter wires, and a common GND\n");
    else if (!sound)
        scan_print("the link is not reliable: try shorter wires, a common GND and a pull-up on TDO\n");
    return sound;
}

int scan_openocd(jtag::OpenocdProbe& probe, const std::string& tap, bool speed_option) {
    const int chain = print_chain(probe, tap);
    const bool chip = scan_identify(probe, speed_option);
    return chain == 0 && chip ? 0 : 1;
}

int scan_pins(jtag::Probe& probe) {
    if (const jtag::ChainProblem problem = probe.chain_problem()) {
        scan_print("%s\n", jtag::chain_text(problem, probe));
        return 1;
    }
    uint8_t ones[4] = {0xFF, 0xFF, 0xFF, 0xFF}, id[4] = {};
    // After a TAP reset the first device's IDCODE is selected.
    const bool read = probe.reset() && probe.dr_scan(32, ones, id, nullptr, nullptr) && probe.flush();
    const uint32_t idcode = word32_of(id);
    const int8_t kind = read ? jtag::chip_kind_of(idcode) : -1;
    if (read) scan_print("1  IDCODE 0x%08X  %s\n", idcode, jtag::chip_name(kind));
    else scan_print("%s\n", probe.failure_text());
    if (read && (idcode == 0 || idcode == 0xFFFFFFFFu))
        scan_print("no device answers: check power, GND and the wiring; %s\n", jtag::recover_hint());
    return scan_identify(probe, false) && kind >= 0 ? 0 : 1;
}

}  // namespace vr
