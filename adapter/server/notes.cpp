#include "adapter/server/notes.hpp"

#include <iterator>
#include <cstdio>

#include "jtag/chip/texts.hpp"

namespace vr::adapter {

// The server is a client of the chip operations throughout.
using namespace jtag;

namespace {

// Indexed by Note; the notes about a word end with its address.
constexpr const char* texts[] = {
    "",  // note_identified: from the chip
    "erased",
    "erase refused: no supported chip identified by the host",
    "erase refused: the host asked for an ATF1504 layout, the chip has the ATF1508 layout",
    "erase refused: the IDCODE changed",
    "erase failed: the probe failed",
    "read protection asked for: programmed after word 100 reads back, once all is verified",
    "read protection set",
    "read protection NOT set: the chip was identified again",
    "read protection NOT set: the chip was erased again",
    "read protection NOT set: released before word 100 was read back",
    "read protection NOT set: the host closed the port",
    "read protection NOT set: the adapter stopped",
    "read protection NOT set: the chip was not erased in this session",
    "read protection NOT set: not every word was written",
    "read protection NOT set: a written word did not read back equal",
    "read protection NOT set: word 200 did not read back erased",
    "read protection NOT set: the probe failed",
    "leaving programming mode: the probe failed",
    "release: the probe failed",
    "read failed: the probe failed at",
    "write refused: no supported chip identified",
    "write refused: malformed",
    "write refused: malformed address",
    "write refused: bad length or address",
    "not programmed: a bad digit or bits above the word set at",
    "not programmed: unused low bits cleared at",
    "not programmed: read protection is set, erase first:",
    "not programmed: word 200 other than F or 7 (the JTAG pin bit stays set)",
    "program failed: the probe failed at",
};
static_assert(std::size(texts) == note_none, "a text for every note");

bool names_a_word(Note what) {
    switch (what) {
    case note_read_failed: case note_write_bad_length: case note_write_bad_digit: case note_write_unused_bits:
    case note_write_locked: case note_program_failed: return true;
    default: return false;
    }
}

}  // namespace

std::string note_text(Note what, uint16_t value, const Chip& chip) {
    if (what == note_identified) {
        const IdResult r = static_cast<IdResult>(value);
        std::string text = identification_text(chip, r);
        if (nothing_answers(chip, r)) text += std::string("\n") + recover_hint();
        return text;
    }
    if (what >= note_none) return "note " + std::to_string(what);
    std::string text = texts[what];
    if (names_a_word(what)) {
        char address[8];
        std::snprintf(address, sizeof address, " %03X", value & 0xFFFu);
        text += address;
    }
    return text;
}

}  // namespace vr::adapter
