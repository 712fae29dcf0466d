#include "tools/pins.hpp"

#include <algorithm>
#include <cstring>

#include "fusemap/device.hpp"

namespace vr::svf::pins {

const bureau::Chip* chip_of(int32_t code) {
    if (code == code_1502) return &bureau::atf1502as;
    if (code == code_1504) return &bureau::atf1504as;
    return nullptr;
}

const bureau::Package& package_of(const bureau::Chip& chip, int64_t pins) {
    for (uint8_t i = 0; i < chip.package_count; ++i)
        if (chip.packages[i].pins == pins && std::strncmp(chip.packages[i].name, "PLCC", 4) == 0) return chip.packages[i];
    for (uint8_t i = 0; i < chip.package_count; ++i)
        if (chip.packages[i].pins == pins) return chip.packages[i];
    for (uint8_t i = 0; i < chip.package_count; ++i)
        if (std::strcmp(chip.packages[i].name, "PLCC44") == 0) return chip.packages[i];
    return chip.packages[0];
}

bool output_enabled(const FuseMap& map, const bureau::Macrocell& mc) {
    for (uint8_t i = 0; i < mc.oe_count; ++i)
        if (map[mc.oe[i]]) return true;
    return false;
}

bool global_oe(const FuseMap& map, const bureau::Macrocell& mc) {
    int ones = 0;
    for (uint8_t i = 0; i < mc.oe_count; ++i) ones += map[mc.oe[i]];
    return ones > 0 && ones < mc.oe_count;
}

bool holds_logic(const FuseMap& map, const bureau::Chip& chip, const bureau::Macrocell& mc) {
    // A term with every fuse at 1 (erased) takes no input and is always
    // true; with every fuse at 0 (each input and its complement) it is
    // always false, the fitters' way of leaving it unused. Only a mix is
    // logic.
    for (uint32_t first : mc.pterm) {
        bool zero = false, one = false;
        for (uint32_t f = first; f < first + chip.pterm_width; ++f) (map[f] ? one : zero) = true;
        if (zero && one) return true;
    }
    return false;
}

std::vector<Pin> pins_of(const FuseMap& map, const bureau::Chip& chip, const bureau::Package& package, bool jtag_on) {
    std::vector<Pin> out;
    for (uint8_t i = 0; i < package.pad_count; ++i) {
        const bureau::Pad& p = package.pads[i];
        Pin pin{p.pin, p.pad, "", Use::input_or_unused, false, false};
        for (uint8_t s = 0; s < chip.special_count; ++s)
            if (std::strcmp(chip.specials[s].pad, p.pad) == 0 && pin.function.empty()) pin.function = chip.specials[s].name;
        if (p.pad[0] != 'M') {
            pin.use = Use::dedicated_input;
        } else {
            const int n = std::atoi(p.pad + 1);
            for (uint8_t m = 0; m < chip.macrocell_count; ++m) {
                const bureau::Macrocell& mc = chip.macrocells[m];
                if (mc.number != n) continue;
                pin.logic = holds_logic(map, chip, mc);
                pin.global_oe = global_oe(map, mc);
                if (output_enabled(map, mc)) pin.use = Use::output;
            }
            const bool jtag_pin = pin.function == "TDI" || pin.function == "TMS" || pin.function == "TCK" || pin.function == "TDO";
            if (jtag_pin && jtag_on) pin.use = Use::jtag;
        }
        out.push_back(pin);
    }
    std::sort(out.begin(), out.end(), [](const Pin& a, const Pin& b) { return a.number < b.number; });
    return out;
}

}  // namespace vr::svf::pins
