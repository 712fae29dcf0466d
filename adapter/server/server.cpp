// The "#8" protocol server: the command line assembler, the commands, and the
// bookkeeping behind the safety rules that adapter/server/server.hpp states.
#include "adapter/server/server.hpp"

#include "common/bits.hpp"

namespace vr {
namespace jtag {
namespace {

#ifdef __AVR__
// The microcontroller adapter injects no faults and has no console: its
// fault checks fold away and its operator notes are left out.
const Faults no_faults = {false, false, false, -1, -1, -1, -1, -1, -1, -1, -1};
inline const Faults& faults(const Server&) { return no_faults; }
inline char id_reply(const Server&) { return 0; }
inline void note(Server&, const char*) {}
inline void note2(Server&, const char*, const char*) {}
inline void note_word(Server&, const char*, uint16_t) {}
#else
inline const Faults& faults(const Server& s) { return s.faults; }
inline char id_reply(const Server& s) { return s.id_reply; }
inline void note(Server& s, const char* text) { s.link->note(text); }

// A short text built in place.
struct Text {
    char s[160];
    uint8_t n;
};

void text_start(Text& t) { t.n = 0, t.s[0] = 0; }

void text_add(Text& t, const char* s) {
    while (*s && t.n + 1 < static_cast<int>(sizeof t.s)) t.s[t.n++] = *s++;
    t.s[t.n] = 0;
}

void text_hex(Text& t, uint32_t value, uint8_t digits) {
    char d[9];
    for (int8_t i = static_cast<int8_t>(digits) - 1; i >= 0; --i, value >>= 4) d[i] = hex_char(static_cast<int>(value & 0xF));
    d[digits] = 0;
    text_add(t, d);
}

void note2(Server& s, const char* a, const char* b) {
    Text t;
    text_start(t);
    text_add(t, a);
    text_add(t, b);
    note(s, t.s);
}

void note_word(Server& s, const char* what, uint16_t address) {
    Text t;
    text_start(t);
    text_add(t, what);
    text_add(t, " ");
    text_hex(t, address, 3);
    note(s, t.s);
}
#endif

// The bookkeeping slot of a word: rows 000-06B, rows 080-0FA, then words
// 100, 200 and 300 (rows 06C-07F do not exist); -1 for no word.
int16_t slot_of(uint16_t address) {
    if (address <= 0x06B) return static_cast<int16_t>(address);
    if (address >= 0x080 && address <= 0x0FA) return static_cast<int16_t>(address - 0x080 + 0x06C);
    if (address == page_config) return word_slots - 3;
    if (address == page_special) return word_slots - 2;
    if (address == page_ues) return word_slots - 1;
    return -1;
}

bool flag(const uint8_t* set, int16_t slot) { return (set[slot / 8] >> (slot % 8)) & 1; }
void mark(uint8_t* set, int16_t slot, bool on) { set_bit(set, static_cast<uint16_t>(slot), on); }

// CRC-16/CCITT-FALSE (polynomial 1021, start FFFF) of the word's bytes, a
// byte per step without a table.
VR_PLAIN_LOOP uint16_t crc16(const uint8_t* v, uint16_t bits) {
    uint16_t crc = 0xFFFF;
    for (uint16_t i = 0; i < (bits + 7) / 8; ++i) {
        uint8_t x = static_cast<uint8_t>(crc >> 8 ^ v[i]);
        x = static_cast<uint8_t>(x ^ x >> 4);
        crc = static_cast<uint16_t>(crc << 8 ^ x << 12 ^ x << 5 ^ x);
    }
    return crc;
}

// Hex digits of the data field that carries the word at address: rows are
// written with two 0 bits above the word, pages exactly.
uint8_t field_digits(const Server& s, uint16_t address) {
    return static_cast<uint8_t>((word_bits(chip_layout(s.chip), address) + 3) / 4);
}

void forget_words(Server& s) {
    s.erased_idcode = 0;
    for (uint8_t i = 0; i < sizeof s.written; ++i) s.written[i] = s.confirmed[i] = 0;
}

// Pending read protection given up: said once, with the reason.
void drop_protection(Server& s, const char* reason) {
    if (s.protect_pending) note2(s, "read protection NOT set: ", reason);
    s.protect_pending = false;
    s.special_erased = false;
}

// The end of a host's session: nothing of it carries over to the next.
void end_session(Server& s, const char* reason) {
    drop_protection(s, reason);
    forget_words(s);
    s.identified = false;
    s.asked = 0;
    s.length = 0;
    s.too_long = false;
    if (!chip_leave(s.chip)) note(s, "leaving programming mode: the probe failed");
}

void send_end(Server& s) { s.link->send(faults(s).crlf ? "\r\n" : "\r", faults(s).crlf ? 2 : 1); }

// An identification's outcome: a chip the protocol serves, or none; the
// words written stay counted only for the chip erased in this session.
void take_identification(Server& s, IdResult r) {
    s.identified = r == id_found && chip_served(s.chip);
    if (!s.identified || s.chip.idcode != s.erased_idcode) forget_words(s);
}

void identify(Server& s, char asked) {
    drop_protection(s, "the chip was identified again");
    const IdResult r = chip_identify(s.chip);
    take_identification(s, r);
    s.asked = s.identified ? asked : 0;
#ifndef __AVR__
    char text[160];
    identification_text(s.chip, r, text, sizeof text);
    note(s, text);
    if (r == id_no_chip || (r == id_bad_chain && chain_silent(s.chip.chain_problem))) note(s, recover_hint());
#endif
    if (!s.identified || faults(s).no_id) return;  // no reply: the host stops before erasing
    const char digit = id_reply(s) ? id_reply(s) : static_cast<char>('0' + chip_kinds[s.chip.kind].digit);
    s.link->send(&digit, 1);
    send_end(s);
}

// Reads and writes need the chip's layout: a host that has not asked since
// the last release gets the IDCODE read for it (without a reply).
bool ensure_identified(Server& s) {
    if (!s.identified) take_identification(s, chip_identify(s.chip));
    return s.identified;
}

// Why the pending read protection may not be programmed now, or 0: every
// flash word of the chip written by the host since this session's erase of
// this chip and read back equal, and word 200 read back erased.
const char* protection_refusal(const Server& s) {
    if (!s.identified || s.erased_idcode == 0 || s.chip.idcode != s.erased_idcode)
        return "the chip was not erased in this session";
    const Layout layout = chip_layout(s.chip);
    for (uint16_t address = 0; address <= page_ues; ++address) {
        const int16_t slot = slot_of(address);
        if (slot < 0 || address == page_special || word_bits(layout, address) == 0) continue;
        if (!flag(s.written, slot)) return "not every word was written";
        if (!flag(s.confirmed, slot)) return "a written word did not read back equal";
    }
    if (!s.special_erased) return "word 200 did not read back erased";
    return 0;
}

// Programs the pending read protection when everything it waits on holds;
// false only when the program pulse itself failed.
bool settle_protection(Server& s) {
    if (!s.protect_pending) return true;
    s.protect_pending = false;
    const char* reason = protection_refusal(s);
    if (reason) {
        note2(s, "read protection NOT set: ", reason);
        return true;
    }
    // The bit alone: wired-AND, the word 7 clears only read protection.
    const uint8_t word[1] = {special_protected};
    if (!chip_program(s.chip, page_special, word)) {
        note2(s, "read protection NOT set: ", "the probe failed");
        return false;
    }
    note(s, "read protection set");
    s.locked = true;
    return true;
}

void release(Server& s) {
    drop_protection(s, "released before word 100 was read back");
    s.identified = false;
    s.asked = 0;
    if (!chip_leave(s.chip)) note(s, "release: the probe failed");
}

void erase(Server& s) {
    if (faults(s).erase_fail) {
        s.link->send("er", 2);
        send_end(s);
        return;
    }
    drop_protection(s, "the chip was erased again");
    forget_words(s);
    const char* refusal = 0;
    if (!s.identified || !s.asked)
        refusal = "erase refused: no supported chip identified by the host";
    else if (s.asked == '4' && chip_layout(s.chip) == layout_1508)
        refusal = "erase refused: the host asked for an ATF1504 layout, the chip has the ATF1508 layout";
    else if (!chip_check_idcode(s.chip, s.chip.idcode))
        refusal = "erase refused: the IDCODE changed";
    else if (!chip_erase(s.chip))
        refusal = "erase failed: the probe failed";
    if (refusal) {
        s.asked = 0;  // a new identification before another try
        note(s, refusal);
        s.link->send("er", 2);
        send_end(s);
        return;
    }
    s.erased_idcode = s.chip.idcode;
    s.locked = false;
    ++s.erases;
    note(s, "erased");
    s.link->send("ok", 2);
    send_end(s);
}

// Sends the data reply of one word, with the faults asked for.
void reply(Server& s, uint16_t address, const uint8_t* word) {
    const uint8_t digits = field_digits(s, address);
    const uint16_t bits = word_bits(chip_layout(s.chip), address);
    char r[100];
    uint8_t n = 0;
    const uint16_t shown = static_cast<int16_t>(address) == faults(s).wrong_address ? address + 1 : address;
    r[n++] = static_cast<int16_t>(address) == faults(s).no_r ? 'x' : 'r';
    r[n++] = hex_char((shown >> 8) & 0xF);
    r[n++] = hex_char((shown >> 4) & 0xF);
    r[n++] = hex_char(shown & 0xF);
    r[n++] = static_cast<int16_t>(address) == faults(s).no_d ? 'D' : 'd';
    field_from_word(word, bits, digits, r + n);
    n = static_cast<uint8_t>(n + digits);
    r[n++] = static_cast<int16_t>(address) == faults(s).no_e ? 'x' : 'e';
    if (static_cast<int16_t>(address) == faults(s).bad_hex) r[5 + digits / 2] = 'G';
    if (static_cast<int16_t>(address) == faults(s).nul_row) r[5 + digits / 2] = 0;
    if (faults(s).crlf) r[n++] = '\r', r[n++] = '\n';
    else r[n++] = '\r';
    if (static_cast<int16_t>(address) == faults(s).stall_row) {
        s.link->send(r, n / 2);
        s.link->stall(700);
        s.link->send(r + n / 2, static_cast<uint16_t>(n - n / 2));
        return;
    }
    s.link->send(r, n);
}

// A word read: its bookkeeping, then its reply; false when read protection
// was due and could not be programmed.
bool answer(Server& s, uint16_t address, uint8_t* word) {
    const int16_t slot = slot_of(address);
    const uint16_t bits = word_bits(chip_layout(s.chip), address);
    if (flag(s.written, slot)) mark(s.confirmed, slot, crc16(word, bits) == s.sums[slot]);
    if (address == page_special) {
        s.special_erased = (word[0] & 0xF) == special_erased;
        // Read protection is still to come: show it as the host wrote it.
        if (s.protect_pending) word[0] = static_cast<uint8_t>(word[0] & special_protected);
    }
    // Word 100 is the last word a secure write reads back: the protection
    // comes now, before the reply that lets the host report success.
    if (address == page_config && !settle_protection(s)) return false;
    reply(s, address, word);
    return true;
}

// Reads one word and answers it; false when it could not be read.
bool read_word(Server& s, uint16_t address) {
    uint8_t word[max_word_bytes];
    if (!chip_read(s.chip, address, word, 0)) {
        note_word(s, "read failed: the probe failed at", address);
        return false;
    }
    return answer(s, address, word);
}

// A block's rows: each row's read wait runs while the row before it is
// answered.
void read_block(Server& s, char block) {
    if (!ensure_identified(s)) return;
    const Layout layout = chip_layout(s.chip);
    const uint16_t first = block_first(block), last = block_last(block, layout);
    bool begun = chip_read_begin(s.chip, first);
    for (uint16_t r = first; r <= last; ++r) {
        uint8_t word[max_word_bytes];
        if (!begun || !chip_read_end(s.chip, r, word, 0)) {
            note_word(s, "read failed: the probe failed at", r);
            return;
        }
        begun = r == last || chip_read_begin(s.chip, static_cast<uint16_t>(r + 1));
        answer(s, r, word);
    }
}

// "#8W" aaa "d" digits "e": checks the word, then programs it.
void write(Server& s, const char* cmd, uint8_t length) {
    if (!ensure_identified(s)) return note(s, "write refused: no supported chip identified");
    if (length < 9 || cmd[6] != 'd' || cmd[length - 1] != 'e') return note(s, "write refused: malformed");
    uint16_t address = 0;
    for (uint8_t k = 3; k < 6; ++k) {
        const int v = hex_digit(cmd[k]);
        if (v < 0) return note(s, "write refused: malformed address");
        address = static_cast<uint16_t>(address * 16 + v);
    }
    const uint16_t bits = word_bits(chip_layout(s.chip), address);
    const uint8_t digits = static_cast<uint8_t>(length - 8);
    if (bits == 0 || digits != field_digits(s, address)) return note_word(s, "write refused: bad length or address", address);
    uint8_t word[max_word_bytes];
    if (!word_from_field(cmd + 7, digits, bits, word))
        return note_word(s, "not programmed: a bad digit or bits above the word set at", address);
    // Rows of blocks a, b and c end in six unused bits, which stay 1.
    if (address < 0x0E0)
        for (uint16_t i = 0; i < 6; ++i)
            if (!bit_of(word, i)) return note_word(s, "not programmed: unused low bits cleared at", address);
    if (static_cast<int16_t>(address) == faults(s).drop_write) return;
    // Read protection is the last thing programmed before the next erase.
    if (s.locked) return note_word(s, "not programmed: read protection is set, erase first:", address);
    const int16_t slot = slot_of(address);
    mark(s.written, slot, false);
    if (address == page_special) {
        if (word[0] == special_protected) {
            s.protect_pending = true;
            return note(s, "read protection asked for: programmed after word 100 reads back, once all is verified");
        }
        // F is the erased state: nothing to program.
        if (word[0] != special_erased)
            return note(s, "not programmed: word 200 other than F or 7 (the JTAG pin bit stays set)");
    } else if (!chip_program(s.chip, address, word)) {
        return note_word(s, "program failed: the probe failed at", address);
    }
    mark(s.written, slot, true);
    mark(s.confirmed, slot, false);
    s.sums[slot] = crc16(word, bits);
}

void command(Server& s) {
    const char* c = s.line;
    const uint8_t n = s.length;
    if (n < 3 || c[0] != '#' || c[1] != '8') return;
    ++s.commands;
    if (c[2] == 'W') return write(s, c, n);
    if (n != 3) return;
    switch (c[2]) {
    case 'I': case '4': return identify(s, c[2]);
    case 'X': return release(s);
    case 'E': return erase(s);
    case 'a': case 'b': case 'c': case 'd': return read_block(s, c[2]);
    case '1': case '2': case '3':
        if (ensure_identified(s)) read_word(s, static_cast<uint16_t>((c[2] - '0') * 0x100));
        return;
    default: return;
    }
}

}  // namespace

#ifndef __AVR__
void identification_text(const Chip& chip, IdResult r, char* out, uint16_t size) {
    Text t;
    text_start(t);
    if (r == id_found) {
        text_add(t, chip_kinds[chip.kind].name);
        text_add(t, " found (IDCODE 0x");
        text_hex(t, chip.idcode, 8);
        text_add(t, ")");
        if (!chip_served(chip))
            text_add(t, ": not programmable through vrjtag's adapter protocol; use vrjtag-jed svf write and OpenOCD");
    } else if (r == id_unknown) {
        text_add(t, "IDCODE 0x");
        text_hex(t, chip.idcode, 8);
        text_add(t, ": not an ATF1502AS/ATF1504AS/ATF1508AS");
        if (atmel_like(chip.idcode)) text_add(t, " (an Atmel-like IDCODE outside the family's table: the part may be remarked)");
    } else if (r == id_bad_chain) {
        text_add(t, chip.chain_problem);
    } else if (r == id_no_chip) {
        text_add(t, "no chip found (IDCODE 0x");
        text_hex(t, chip.idcode, 8);
        text_add(t, ")");
    } else {
        text_add(t, chip.probe->failure_text());
    }
    uint16_t i = 0;
    for (; size > 0 && i + 1 < size && t.s[i]; ++i) out[i] = t.s[i];
    if (size > 0) out[i] = 0;
}
#endif

void faults_none(Faults& f) {
    f.no_id = f.erase_fail = f.crlf = false;
    f.stall_row = f.wrong_address = f.bad_hex = f.nul_row = f.no_r = f.no_d = f.no_e = f.drop_write = -1;
}

void server_init(Server& s, Probe& probe, Link& link) {
    chip_init(s.chip, probe);
    s.link = &link;
#ifndef __AVR__
    faults_none(s.faults);
    s.id_reply = 0;
#endif
    s.length = 0;
    s.too_long = false;
    s.identified = false;
    s.asked = 0;
    s.commands = s.erases = 0;
    s.protect_pending = s.special_erased = s.locked = false;
    forget_words(s);
}

void server_receive(Server& s, char c) {
    // CR ends the line; LF, NUL, XON and XOFF are no part of it. Every
    // other byte is above them all: the common case decides once.
    const uint8_t u = static_cast<uint8_t>(c);
    if (u > 0x13 || (u != '\r' && u != '\n' && u != 0 && u != 0x11 && u != 0x13)) {
        if (s.length < sizeof s.line)
            s.line[s.length++] = c;
        else
            s.too_long = true;
    } else if (u == '\r') {
        if (!s.too_long) command(s);
        s.length = 0;
        s.too_long = false;
    }
}

namespace {

// The bytes before the first that is not an ordinary one (any of CR, LF,
// NUL, XON, XOFF), and appending them to the line: a run at a time.
VR_PLAIN_LOOP uint16_t ordinary_run(const char* bytes, uint16_t count) {
    uint16_t i = 0;
    while (i < count && static_cast<uint8_t>(bytes[i]) > 0x13) ++i;
    return i;
}

VR_PLAIN_LOOP void append(Server& s, const char* bytes, uint16_t count) {
    const uint16_t room = static_cast<uint16_t>(sizeof s.line - s.length);
    const uint16_t n = count < room ? count : room;
    for (uint16_t i = 0; i < n; ++i) s.line[s.length + i] = bytes[i];
    s.length = static_cast<uint8_t>(s.length + n);
    if (count > n) s.too_long = true;
}

}  // namespace

void server_receive(Server& s, const char* bytes, uint16_t count) {
    for (uint16_t i = 0; i < count;) {
        const uint16_t run = ordinary_run(bytes + i, static_cast<uint16_t>(count - i));
        append(s, bytes + i, run);
        i = static_cast<uint16_t>(i + run);
        if (i < count) server_receive(s, bytes[i++]);
    }
}

void server_spoil(Server& s) { s.too_long = true; }

void server_hangup(Server& s) { end_session(s, "the host closed the port"); }

void server_stop(Server& s) { end_session(s, "the adapter stopped"); }

}  // namespace jtag
}  // namespace vr
