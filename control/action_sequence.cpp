// The four actions: write (without or with the security fuse), read into a
// new JEDEC file, and verify against a JEDEC file.
#include <cstdio>

#include "control/run.hpp"
#include "control/verify_regions.hpp"
#include "fusemap/jedec.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "ui/ui.hpp"

namespace vr {
namespace {

using Transfer = void (*)(int32_t, const FuseMap&);
using Readback = void (*)(int32_t, FuseMap&, int32_t&, MsgBuf&);

struct Stage {
    const char* region_1508;
    const char* region_1504;
    Transfer write;
    Readback read;
    bool page;
};

constexpr Stage stages[] = {
    {"...rows  12-107 (Logic Blocks A-D product terms)", "...rows  12-107 (Logic Blocks A-B product terms)",
     write48a, read48a, false},
    {"...rows 128-223 (Logic Blocks E-H product terms)", "...rows 128-223 (Logic Blocks C-D product terms)",
     write48b, read48b, false},
    {"...rows   0- 11 (Configuration Bits)", "...rows   0- 11 (Configuration Bits)", write48c, read48c, false},
    {"...rows 224-250 (UIM and OE UIM Bits)", "...rows 224-250 (UIM and OE UIM Bits)", write48d, read48d, false},
    {"...page 2 (special purpose bits)", "...page 2 (special purpose bits)", write482, read482, true},
    {"...page 3 (Signature Bits)", "...page 3 (Signature Bits)", write483, read483, true},
    {"...page 1 (Device Config Bits)", "...page 1 (Device Config Bits)", write481, read481, true},
};
static_assert(sizeof stages / sizeof stages[0] == sizeof verify_regions / sizeof verify_regions[0]);

std::string_view name_text(const FileName& name) { return {name.data(), name.size()}; }

// Puts a step's text into the status buffer and shows it in field 1010.
void show_step(std::string_view first, std::string_view second = {}) {
    put_text(run.status_buf, first);
    keep_and_append(run.status_buf, first.size(), second);
    WDialogPutString(1010, text_of(run.status_buf));
}

void advance(int32_t amount) { WDialogPutProgressBar(1011, amount, 1); }

void set_range(int32_t action, int32_t code) {
    const bool big = code == code_1508;
    int32_t maximum = big ? 264 : 246;
    if (action != 3) maximum += 105;
    if (action == 1 || action == 2) maximum += 472 + (big ? 36 : 0);
    WDialogRangeProgressBar(1011, 0, maximum);
}

void force_special_fuses(int32_t code) {
    force_special(run.expected, code);
    force_special(run.readback, code);
}

// Step 1 for write and verify: load the file. False (with the text) when it
// is refused.
bool load_file(const FileName& name, MsgBuf& id) {
    show_step("Reading JEDEC file:  ", name_text(name));
    const JedecResult r = readj(run.expected, name, run.code);
    if (const char* refusal = jedec_refusal(r, run.code, Devices::programmer)) {
        char text[64];
        std::snprintf(text, sizeof text, "%s, abort", refusal);
        put_text(run.status_buf, text);
        return false;
    }
    put_text(id, run.code == code_1508 ? "JEDEC file type is ATF1508" : "JEDEC file type is ATF1504");
    WDialogPutString(1009, text_of(id));
    return true;
}

// Step 3: identify the chip. Returns the chip type code as the decoding
// leaves it, or -1 when the adapter gave no usable reply.
int32_t identify(int32_t action, MsgBuf& id) {
    show_step("Checking chip type.....");
    exit48();
    init48(run.code, run.command_buf);
    exit48();
    const char c = run.command_buf[0];
    if (c != ' ' && (c < '0' || c > '9')) {
        put_text(run.status_buf, "Programmer not responding, abort");
        return -1;
    }
    int32_t chip = c == ' ' ? 0 : c - '0';
    if (action == 3) blank(id);
    keep_and_append(id, 26, "\r\n");
    if (chip > 3) {
        keep_and_append(id, 28, "chip type is ALT-");
        chip -= 4;
    } else {
        keep_and_append(id, 28, "chip type is STD-");
    }
    if (chip > 1) {
        keep_and_append(id, 45, "3V-");
        chip -= 2;
    } else {
        keep_and_append(id, 45, "5V-");
    }
    keep_and_append(id, 48, chip > 0 ? "ATF1508" : "ATF1504");
    if (action == 3) {
        run.code = chip > 0 ? code_1508 : code_1504;
        set_range(action, run.code);
    }
    WDialogPutString(1009, text_of(id));
    advance(10);
    return chip;
}

// Step 5 for write and verify: the chip must match the file.
bool match(int32_t action, int32_t chip, MsgBuf& id) {
    const bool matches = (chip > 0 && run.code == code_1508) || (chip == 0 && run.code == code_1504);
    if (!matches) {
        keep_and_append(id, 55, "\r\n...mis-matched...aborting!");
        WDialogPutString(1009, text_of(id));
        put_text(run.status_buf, "File type and chip type mismatch...abort");
        return false;
    }
    keep_and_append(id, 55, action == 4 ? "\r\n...match!....verifying..." : "\r\n...match!....programming...");
    if (action == 2) {
        keep_and_append(id, 84, "\r\n...read-protection will be set.");
        run.expected[read_protection_fuse(run.code)] = 0;
        run.readback[read_protection_fuse(run.code)] = 0;
    } else if (action == 1) {
        keep_and_append(id, 84, "\r\n...read-protection will not be set.");
    }
    WDialogPutString(1009, text_of(id));
    return true;
}

// Step 8: the seven transfer stages. False when the run ends early.
bool transfer_stages(int32_t action) {
    const bool writing = action == 1 || action == 2;
    for (std::size_t i = 0; i < sizeof stages / sizeof stages[0]; ++i) {
        const Stage& st = stages[i];
        const char* region = run.code == code_1508 ? st.region_1508 : st.region_1504;
        if (checkstop(run.status_buf)) return false;
        if (writing) {
            show_step("Writing fuse map to chip....\r\n", region);
            pause();
            com_f();
            st.write(run.code, run.expected);
            if (st.page) advance(2);
        }
        if (checkstop(run.status_buf)) return false;
        show_step("  Reading fuse map..........\r\n", region);
        pause();
        com_f();
        st.read(run.code, run.readback, run.status, run.status_buf);
        if (run.status != 0) return false;
        if (st.page) advance(1);
        if (action != 3) {
            verifyit48(run.code, run.expected, run.readback, run.counts);
            if (run.counts[1] + run.counts[2] != 0) {
                put_text(run.status_buf, verify_regions[i].failure);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

namespace {

void action_steps(int32_t action, const FileName& name) {
    MsgBuf id;
    blank(id);

    // Step 1: the file.
    if (action == 3) {
        show_step("Opening JEDEC file: ", name_text(name));
        put_text(run.status_buf, "File open error, abort.");
        if (!open_output(name)) return;
    } else {
        if (!load_file(name, id)) return;
        set_range(action, run.code);
    }
    WDialogPutProgressBar(1011, 10, 0);

    // Step 2: the maps.
    if (action == 3) run.expected.fill(1);
    run.readback = run.expected;

    // Step 3: the chip.
    const int32_t chip = identify(action, id);
    if (chip < 0) return;

    // Step 4: special purpose fuses.
    force_special_fuses(run.code);

    // Step 5: match and read protection.
    if (action != 3 && !match(action, chip, id)) return;
    advance(10);

    // Step 6: erase.
    if (action == 1 || action == 2) {
        show_step("Erasing fuse map from chip.....");
        erase48(run.code, run.status);
        if (run.status != 0) {
            put_text(run.status_buf, "Erase CPLD failed.  Write aborted.");
            return;
        }
        advance(40);
    }

    // Step 7: identify again before the transfers.
    pause();
    com_f();
    init48(run.code, run.command_buf);

    // Step 8 and 9.
    if (!transfer_stages(action)) return;
    if (action == 3) {
        put_text(run.status_buf, writej(run.readback, run.code) ? "READ & SAVE SUCCESS" : "File write error, abort.");
    } else {
        put_text(run.status_buf, action == 4 ? "VERIFY SUCCESS" : "WRITE & VERIFY SUCCESS");
    }
}

}  // namespace

void action_sequence(int32_t action, const FileName& name) {
    action_steps(action, name);
    // A READ that saved nothing leaves no empty file behind.
    if (action == 3) drop_output();
}

}  // namespace vr
