// The Nano's supply thresholds against the counts a real ATmega328P's ADC
// gives when its bandgap is anywhere in its tolerance (1.0 V to 1.2 V).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "jtag/probe/crc8.hpp"
#include "jtag/probe/nano_supply.hpp"

namespace {

// The firmware's view of true voltages: the bandgap's count against AVcc,
// A4's count against AVcc (full scale at or above it).
char judged(double nano_v, double target_v, double bandgap_v, bool strapped = false) {
    const auto count = [](double v, double ref) {
        return static_cast<uint16_t>(std::min(1023.0, std::floor(v / ref * 1024)));
    };
    const uint16_t nano_mv = vr::jtag::nano_mv_of(count(bandgap_v, nano_v));
    return vr::jtag::supply_problem_of(nano_mv, vr::jtag::target_mv_of(count(target_v, nano_v), nano_mv), strapped);
}

TEST(NanoSupply, ThresholdsHoldAcrossTheBandgapTolerance) {
    const struct {
        double nano, target;
        bool strapped;
        char problem;  // at either end of the bandgap's tolerance
    } cases[] = {
        {4.6, 5.0, false, 0},    // a USB-powered Nano on a 5 V board
        {4.6, 4.75, false, 0},   // ... a board a little low: still a 5 V part
        {5.0, 4.5, false, 0},    // a 5 V board sagging
        {4.6, 3.6, false, 'v'},  // a 3.3 V part at its highest: never taken for a 5 V one
        {5.0, 3.3, false, 'v'},
        {5.0, 3.3, true, 0},     // with the translators' strap
        {4.6, 0.5, false, '-'},  // an unpowered board
        {3.5, 3.5, false, 's'},  // a Nano far too low for 16 MHz
    };
    for (const auto& c : cases)
        for (double bandgap : {1.0, 1.2})
            EXPECT_EQ(judged(c.nano, c.target, bandgap, c.strapped), c.problem)
                << c.nano << " V Nano, " << c.target << " V target, bandgap " << bandgap << " V";
}

TEST(NanoSupply, NominalBandgapEdges) {
    // With the bandgap at its nominal 1.1 V the thresholds are the figures
    // themselves: a 4.4 V Nano and a 4.3 V board pass, a 4.0 V Nano does not.
    EXPECT_EQ(judged(4.4, 4.3, 1.1), 0);
    EXPECT_EQ(judged(4.0, 4.0, 1.1), 's');
    EXPECT_EQ(judged(5.0, 4.0, 1.1), 'v');
    // A count of 0 or 1 (a broken reading) is no supply, never a wrapped one.
    EXPECT_EQ(vr::jtag::nano_mv_of(0), 0);
    EXPECT_EQ(vr::jtag::nano_mv_of(1), 65535);
}

TEST(NanoSupply, Crc8CatchesEverySingleBitChange) {
    // The CRC-8 of a message and of the same message with any one bit
    // changed always differ (what the status relies on).
    const uint8_t message[] = {0x05, 0x00, 0x20, 0xFF, 0x01, 0x00, 0x00, 0x20};
    const auto crc = [](const uint8_t* m, std::size_t n) {
        uint8_t c = 0;
        for (std::size_t i = 0; i < n; ++i) c = vr::jtag::crc8(c, m[i]);
        return c;
    };
    const uint8_t good = crc(message, sizeof message);
    EXPECT_EQ(vr::jtag::crc8(0, 0x01), 0x07);  // the polynomial itself
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc(check, sizeof check), 0xF4);  // the catalogue's check value of this CRC-8
    for (std::size_t byte = 0; byte < sizeof message; ++byte)
        for (int bit = 0; bit < 8; ++bit) {
            uint8_t changed[sizeof message];
            std::copy(message, message + sizeof message, changed);
            changed[byte] = static_cast<uint8_t>(changed[byte] ^ 1 << bit);
            EXPECT_NE(crc(changed, sizeof changed), good) << byte << ":" << bit;
        }
}

}  // namespace
