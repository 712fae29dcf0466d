// What a design does with each pin, from the fuse database's facts (the
// ATF1502AS and ATF1504AS): shared by vrjtag-jed check and show.
#pragma once

#include <string>
#include <vector>

#include "fusemap/fusemap.hpp"
#include "tools/bureau.hpp"

namespace vr::svf::pins {

enum class Use { output, input_or_unused, dedicated_input, jtag, other };

struct Pin {
    uint16_t number;
    std::string pad;       // M12, C1, ...
    std::string function;  // TDI, PD1, CLK3, ... or ""
    Use use;
    bool logic;            // its macrocell has product terms in use
    bool global_oe;        // its output enable is one of the global ones
};

// The facts for a JEDEC device code, or null (the ATF1508AS).
const bureau::Chip* chip_of(int32_t code);
// The package a file's QP field names (44: PLCC44), or the chip's first.
const bureau::Package& package_of(const bureau::Chip& chip, int64_t pins);
// Whether a macrocell's output is enabled, and whether it holds logic.
bool output_enabled(const FuseMap& map, const bureau::Macrocell& mc);
// The output enable is a global one (GOE1-6): neither never (all fuses 0)
// nor the erased pattern (all 1, the product term or always).
bool global_oe(const FuseMap& map, const bureau::Macrocell& mc);
bool holds_logic(const FuseMap& map, const bureau::Chip& chip, const bureau::Macrocell& mc);
// Every pin of the package that the database names, in pin order.
std::vector<Pin> pins_of(const FuseMap& map, const bureau::Chip& chip, const bureau::Package& package, bool jtag_on);

}  // namespace vr::svf::pins
