// The fuzz target's safety checks on crafted host byte streams: a secure
// write passes them on the protocol server; the server built to skip the
// read-back condition of read protection fails them (proof that they can).
#include <gtest/gtest.h>

#include <string>

#include "tests/fuzz/server_check.hpp"

namespace {

// A secure write of the ATF1504AS as the host sends it (every row written in
// one run), reading the rows back only when asked.
std::string secure_write(bool read_rows) {
    std::string s(1, '\0');  // the variant: an erased ATF1504AS
    s += "#84\r#8E\r#8X\r#84\r";
    s += static_cast<char>(vt::byte_all_rows);
    s += "#8W200d7e\r#8W300d1234e\r#8W100d0000FFFFe\r";
    if (read_rows) s += "#8a\r#8b\r#8c\r#8d\r";
    s += "#82\r#83\r#81\r#8X\r";
    return s;
}

vt::ServerCheck checker;

std::string check(const std::string& input) {
    return checker.run(reinterpret_cast<const unsigned char*>(input.data()), input.size());
}

}  // namespace

// Crafted inputs, one per rule a broken server could break.
// The identification fails (the probe is failing), then the erase comes.
const std::string erase_after_failed_id = std::string("\x00\xFE#8I\r\xFE#8E\r#8X\r", 13);
// An ATF1508AS asked for as an ATF1504AS, then erased.
const std::string erase_1508_as_1504 = std::string("\x01#84\r#8E\r#8X\r", 13);

#if !defined(VRJTAG_KNOWN_BAD_skip_readback) && !defined(VRJTAG_KNOWN_BAD_erase_unanswered) && \
    !defined(VRJTAG_KNOWN_BAD_layout_84) && !defined(VRJTAG_KNOWN_BAD_protect_after_reply)
TEST(ServerCheck, SecureWritesAndHostFaultsKeepTheRules) {
    const struct {
        std::string input;
        bool protection;
    } cases[] = {
        {secure_write(true), true},
        {secure_write(false), false},  // rows never read back
        {secure_write(true) + "\xFF" + secure_write(true).substr(1), true},
        {std::string("\x05#8I\r#8E\r#8X\r", 13), false},  // another device on the chain
        {erase_1508_as_1504, false},
        {erase_after_failed_id, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(check(c.input), "") << c.input.substr(0, 30);
        EXPECT_EQ(checker.protection_seen(), c.protection) << c.input.substr(0, 30);
    }
}
#else
// Each broken server passes the ordinary secure write (where that is sound)
// and is caught on the input that reaches its fault.
TEST(ServerCheck, ABrokenServerIsCaught) {
    struct Case {
        std::string input, rule;
    };
#if defined(VRJTAG_KNOWN_BAD_skip_readback)
    EXPECT_EQ(check(secure_write(true)), "");
    const Case c = {secure_write(false), "rule 3: read protection with a word not read back"};
#elif defined(VRJTAG_KNOWN_BAD_erase_unanswered)
    EXPECT_EQ(check(secure_write(true)), "");
    const Case c = {erase_after_failed_id, "rule 1: erased without the host's identification"};
#elif defined(VRJTAG_KNOWN_BAD_layout_84)
    EXPECT_EQ(check(secure_write(true)), "");
    const Case c = {erase_1508_as_1504, "rule 1: erased an ATF1508 layout after the host asked for an ATF1504"};
#else
    const Case c = {secure_write(true), "rule 3: read protection programmed other than before the reply"};
#endif
    const std::string broken = check(c.input);
    EXPECT_EQ(broken.rfind(c.rule, 0), 0u) << broken;
}
#endif
