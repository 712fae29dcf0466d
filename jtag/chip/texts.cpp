#include "jtag/chip/texts.hpp"

#include <cstdio>

namespace vr::jtag {
namespace {

// In the order of chip_kinds.
constexpr const char* names[chip_kind_count] = {"ATF1504AS",  "ATF1508AS",  "ATF1504ASV",
                                                "ATF1508ASV", "ATF1502AS",  "ATF1502ASV"};

}  // namespace

const char* chip_name(int kind) { return kind >= 0 && kind < chip_kind_count ? names[kind] : "unknown"; }

int8_t chip_kind_named(const std::string& name) {
    for (uint8_t k = 0; k < chip_kind_count; ++k)
        if (name == names[k]) return static_cast<int8_t>(k);
    return -1;
}

const char* chain_text(ChainProblem problem, const Probe& probe) {
    switch (problem) {
    case chain_tdo_1: return "TDO stuck at 1: check wiring and power";
    case chain_tdo_0: return "TDO stuck at 0: check wiring and power";
    case chain_another:
        return "another device on the chain: vrjtag needs the chip alone on its chain, or (through OpenOCD) every "
               "other device declared in its configuration";
    case chain_probe: return probe.failure_text();
    default: return "the chain is sound";
    }
}

const char* recover_hint() {
    return "if a chip of the family answered here before, its design may have turned its JTAG pins off: "
           "vrjtag-cli recover --device PART brings it back (12 V on OE1)";
}

std::string hex32(uint32_t value) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", static_cast<unsigned>(value));
    return b;
}

std::string identification_text(const Chip& chip, IdResult result) {
    switch (result) {
    case id_found:
        return std::string(chip_name(chip.kind)) + " found (IDCODE " + hex32(chip.idcode) + ")" +
               (chip_served(chip) ? ""
                                  : ": not programmable through vrjtag's adapter protocol; program it on the direct route "
                                    "(vrjtag-cli --probe)");
    case id_unknown:
        return "IDCODE " + hex32(chip.idcode) + ": not an ATF1502AS/ATF1504AS/ATF1508AS" +
               (atmel_like(chip.idcode) ? " (an Atmel-like IDCODE outside the family's table: the part may be remarked)" : "");
    case id_bad_chain: return chain_text(chip.chain_problem, *chip.probe);
    case id_no_chip: return "no chip found (IDCODE " + hex32(chip.idcode) + ")";
    default: return chip.probe->failure_text();
    }
}

}  // namespace vr::jtag
