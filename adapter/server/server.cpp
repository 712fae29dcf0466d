// The "#8" protocol server: the command line assembler, the commands, and the
// bookkeeping behind the safety rules that adapter/server/server.hpp states.
#include "adapter/server/server.hpp"

#include "common/bits.hpp"

namespace vr {
namespace adapter {

// The server is a client of the chip operations throughout.
using namespace jtag;

namespace {

inline void note(Server& s, Note what, uint16_t value = 0) { s.link->note(what, value, s.chip); }

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
void drop_protection(Server& s, Note reason) {
    if (s.protect_pending) note(s, reason);
    s.protect_pending = false;
    s.special_erased = false;
}

// The end of a host's session: nothing of it carries over to the next.
void end_session(Server& s, Note reason) {
    drop_protection(s, reason);
    forget_words(s);
    s.identified = false;
    s.asked = 0;
    s.length = 0;
    s.too_long = false;
    if (!chip_leave(s.chip)) note(s, note_leave_failed);
}

void send_end(Server& s) { s.link->send("\r", 1); }

// An identification's outcome: a chip the protocol serves, or none; the
// words written stay counted only for the chip erased in this session.
void take_identification(Server& s, IdResult r) {
    s.identified = r == id_found && chip_served(s.chip);
    if (!s.identified || s.chip.idcode != s.erased_idcode) forget_words(s);
}

void identify(Server& s, char asked) {
    drop_protection(s, note_unprotected_identified);
    const IdResult r = chip_identify(s.chip);
    take_identification(s, r);
    s.asked = s.identified ? asked : 0;
    note(s, note_identified, static_cast<uint16_t>(r));
    if (!s.identified) return;  // no reply: the host stops before erasing
    const char digit = static_cast<char>('0' + chip_kinds[s.chip.kind].digit);
    s.link->send(&digit, 1);
    send_end(s);
}

// Reads and writes need the chip's layout: a host that has not asked since
// the last release gets the IDCODE read for it (without a reply).
bool ensure_identified(Server& s) {
    if (!s.identified) take_identification(s, chip_identify(s.chip));
    return s.identified;
}

// Why the pending read protection may not be programmed now, or note_none:
// every flash word of the chip written by the host since this session's
// erase of this chip and read back equal, and word 200 read back erased.
Note protection_refusal(const Server& s) {
    if (!s.identified || s.erased_idcode == 0 || s.chip.idcode != s.erased_idcode) return note_unprotected_not_erased;
    const Layout layout = chip_layout(s.chip);
    for (uint16_t address = 0; address <= page_ues; ++address) {
        const int16_t slot = slot_of(address);
        if (slot < 0 || address == page_special || word_bits(layout, address) == 0) continue;
        if (!flag(s.written, slot)) return note_unprotected_not_written;
        if (!flag(s.confirmed, slot)) return note_unprotected_not_equal;
    }
    if (!s.special_erased) return note_unprotected_special;
    return note_none;
}

// Programs the pending read protection when everything it waits on holds;
// false only when the program pulse itself failed.
bool settle_protection(Server& s) {
    if (!s.protect_pending) return true;
    s.protect_pending = false;
    const Note reason = protection_refusal(s);
    if (reason != note_none) {
        note(s, reason);
        return true;
    }
    // The bit alone: wired-AND, the word 7 clears only read protection.
    const uint8_t word[1] = {special_protected};
    if (!chip_program(s.chip, page_special, word)) {
        note(s, note_unprotected_probe_failed);
        return false;
    }
    note(s, note_protection_set);
    s.locked = true;
    return true;
}

void release(Server& s) {
    drop_protection(s, note_unprotected_released);
    s.identified = false;
    s.asked = 0;
    if (!chip_leave(s.chip)) note(s, note_release_failed);
}

void erase(Server& s) {
    drop_protection(s, note_unprotected_erased);
    forget_words(s);
    Note refusal = note_none;
    if (!s.identified || !s.asked)
        refusal = note_erase_unidentified;
    else if (s.asked == '4' && chip_layout(s.chip) == layout_1508)
        refusal = note_erase_layout;
    else if (!chip_check_idcode(s.chip, s.chip.idcode))
        refusal = note_erase_idcode_changed;
    else if (!chip_erase(s.chip))
        refusal = note_erase_failed;
    if (refusal != note_none) {
        s.asked = 0;  // a new identification before another try
        note(s, refusal);
        s.link->send("er", 2);
        send_end(s);
        return;
    }
    s.erased_idcode = s.chip.idcode;
    s.locked = false;
    ++s.erases;
    note(s, note_erased);
    s.link->send("ok", 2);
    send_end(s);
}

// Sends the data reply of one word: "r", the address, "d", the field, "e", CR.
void reply(Server& s, uint16_t address, const uint8_t* word) {
    const uint8_t digits = field_digits(s, address);
    const uint16_t bits = word_bits(chip_layout(s.chip), address);
    char r[100];
    uint8_t n = 0;
    r[n++] = 'r';
    r[n++] = hex_char((address >> 8) & 0xF);
    r[n++] = hex_char((address >> 4) & 0xF);
    r[n++] = hex_char(address & 0xF);
    r[n++] = 'd';
    field_from_word(word, bits, digits, r + n);
    n = static_cast<uint8_t>(n + digits);
    r[n++] = 'e';
    r[n++] = '\r';
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
        note(s, note_read_failed, address);
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
            note(s, note_read_failed, r);
            return;
        }
        begun = r == last || chip_read_begin(s.chip, static_cast<uint16_t>(r + 1));
        answer(s, r, word);
    }
}

// "#8W" aaa "d" digits "e": checks the word, then programs it.
void write(Server& s, const char* cmd, uint8_t length) {
    if (!ensure_identified(s)) return note(s, note_write_unidentified);
    if (length < 9 || cmd[6] != 'd' || cmd[length - 1] != 'e') return note(s, note_write_malformed);
    uint16_t address = 0;
    for (uint8_t k = 3; k < 6; ++k) {
        const int v = hex_digit(cmd[k]);
        if (v < 0) return note(s, note_write_bad_address);
        address = static_cast<uint16_t>(address * 16 + v);
    }
    const uint16_t bits = word_bits(chip_layout(s.chip), address);
    const uint8_t digits = static_cast<uint8_t>(length - 8);
    if (bits == 0 || digits != field_digits(s, address)) return note(s, note_write_bad_length, address);
    uint8_t word[max_word_bytes];
    if (!word_from_field(cmd + 7, digits, bits, word))
        return note(s, note_write_bad_digit, address);
    // Rows of blocks a, b and c end in six unused bits, which stay 1.
    if (address < 0x0E0)
        for (uint16_t i = 0; i < 6; ++i)
            if (!bit_of(word, i)) return note(s, note_write_unused_bits, address);
    // Read protection is the last thing programmed before the next erase.
    if (s.locked) return note(s, note_write_locked, address);
    const int16_t slot = slot_of(address);
    mark(s.written, slot, false);
    if (address == page_special) {
        if (word[0] == special_protected) {
            s.protect_pending = true;
            return note(s, note_protection_asked);
        }
        // F is the erased state: nothing to program.
        if (word[0] != special_erased)
            return note(s, note_write_special_other);
    } else if (!chip_program(s.chip, address, word)) {
        return note(s, note_program_failed, address);
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

void server_init(Server& s, Probe& probe, Link& link) {
    chip_init(s.chip, probe);
    s.link = &link;
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

void server_hangup(Server& s) { end_session(s, note_unprotected_hung_up); }

void server_stop(Server& s) { end_session(s, note_unprotected_stopped); }

}  // namespace adapter
}  // namespace vr
