// The JEDEC reader.
//
// The file is read as a stream of characters, so lines of any length are read
// whole. The header, from the start of the file up to the first "*", names
// the device (converters for Quartus designs put a version line first and the
// device on the second) and is never examined for fuse values; a header line
// that begins with "L" ends it early, so that no fuse list is ever lost. A
// line whose first column holds "L" opens a fuse list at the decimal number
// that follows; "0" and "1" are then stored at ascending fuse numbers
// until "*" closes the list; fuses no list names take the default of the F
// field (0 without one). Everything else is ignored, apart from the fuse
// checksum field ("C" and four hexadecimal digits) and STX/ETX, which are used
// to refuse damaged or truncated files.
#include <bitset>
#include <cerrno>

#include "common/hex.hpp"
#include "fusemap/jedec.hpp"

namespace vr {
namespace {

constexpr char stx = 2;
constexpr char etx = 3;
constexpr int64_t fuse_cap = 1'000'000'000;  // fuse numbers stop growing here

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Follows the field structure outside fuse lists to find the C field and
// whether an ETX follows the last field.
struct FieldTracker {
    bool at_field_start = false;  // the next non-blank character begins a field
    bool in_checksum = false;
    int q_state = 0;  // 1: a field began with Q; 2: inside a QF field; 3: inside QP
    bool in_default = false;  // inside an F field
    int64_t count = 0;
    bool count_ok = true;
    int digits = 0;
    bool digits_ok = true;
    uint16_t value = 0;

    void end_of_field() {
        at_field_start = true;
        in_checksum = false;
        in_default = false;
        q_state = 0;
    }

    void feed(int c, JedecInfo& info) {
        if (q_state == 1) {
            q_state = c == 'F' ? 2 : c == 'P' ? 3 : 0;
            count = 0, count_ok = true, digits = 0;
            if (q_state != 0) return;
        }
        if (q_state == 3) {
            // QP: the package's pin count.
            if (c == '*') {
                if (count_ok && digits > 0) info.package_pins = count;
                end_of_field();
            } else if (c >= '0' && c <= '9') {
                if (count < 100000) count = count * 10 + (c - '0');
                ++digits;
            } else if (!is_space(c)) {
                count_ok = false;
            }
            return;
        }
        if (q_state == 2) {
            if (c == '*') {
                info.has_fuse_count = true;
                info.fuse_count = count_ok && digits > 0 ? count : -1;
                end_of_field();
            } else if (c >= '0' && c <= '9') {
                if (count < 1'000'000'000) count = count * 10 + (c - '0');
                ++digits;
            } else if (!is_space(c)) {
                count_ok = false;
            }
            return;
        }
        if (in_checksum) {
            if (c == '*') {
                if (digits_ok && digits == 4) {
                    info.has_checksum = true;
                    info.file_checksum = value;
                }
                end_of_field();
            } else if (!is_space(c)) {
                const int v = hex_digit(c);
                if (v < 0 || digits >= 4)
                    digits_ok = false;
                else
                    value = static_cast<uint16_t>(value * 16 + v), ++digits;
            }
            return;
        }
        if (c == '*') {
            end_of_field();
            return;
        }
        if (in_default) {
            // The value every fuse no L field lists takes (its first digit).
            if ((c == '0' || c == '1') && info.default_fuse < 0) info.default_fuse = c - '0';
            return;
        }
        if (at_field_start && !is_space(c)) {
            at_field_start = false;
            if (c == 'C') {
                in_checksum = true;
                digits = 0;
                digits_ok = true;
                value = 0;
            } else if (c == 'Q') {
                q_state = 1;
            } else if (c == 'F') {
                in_default = true;
            } else if (c == 'V') {
                info.has_vectors = true;
            }
        }
    }
};

}  // namespace

JedecResult read_jedec(std::FILE* in, FuseMap& map, int32_t& code, JedecInfo& info, Devices devices) {
    map.fill(0);
    info = JedecInfo{};

    bool format_error = false;
    bool began_with_stx = false;
    bool etx_after_last_field = false;
    bool fuse_data = false;
    int64_t fuse = 0;
    int64_t limit = static_cast<int64_t>(map_size);
    FieldTracker fields;
    // The fuses the L fields listed: the others take the F field's value.
    std::bitset<map_size> listed;

    // The header: device recognition only.
    int c = std::getc(in);
    if (c == stx) began_with_stx = true;
    bool has_1502 = false, has_1504 = false, has_1508 = false;
    bool line_start = false;
    int pending = -1;  // a character the header handed on to the fields
    {
        char window[7] = {};
        int seen = 0;
        while (c != EOF) {
            for (int k = 0; k < 6; ++k) window[k] = window[k + 1];
            window[6] = static_cast<char>(c);
            if (++seen >= 7 && window[0] == 'A' && window[1] == 'T' && window[2] == 'F' &&
                window[3] == '1' && window[4] == '5' && window[5] == '0') {
                if (window[6] == '2') has_1502 = devices == Devices::family;
                if (window[6] == '4') has_1504 = true;
                if (window[6] == '8') has_1508 = true;
            }
            if (c == etx)
                etx_after_last_field = true;
            else
                fields.feed(c, info);
            if (c == '*') break;  // the header ends with its first "*"
            if (c == '\n') {
                // A line opening a fuse list ("L") ends the header too.
                const int next = std::getc(in);
                if (next == 'L') {
                    pending = 'L';
                    line_start = true;
                    break;
                }
                c = next;
                continue;
            }
            c = std::getc(in);
        }
    }
    // The ATF1502 only when the header names neither of the others.
    if (has_1504 || has_1508) has_1502 = false;
    if (has_1502) code = code_1502;
    if (has_1504) code = code_1504;
    if (has_1508) code = code_1508;
    const bool named = has_1502 || has_1504 || has_1508;
    if (named) limit = device_of(code).fuse_count;

    // The fields after it.
    while (c != EOF) {
        if (pending >= 0)
            c = pending, pending = -1;
        else
            c = std::getc(in);
        if (c == EOF) break;
        if (c == '\n') {
            line_start = true;
            continue;
        }
        if (line_start && c == 'L') {
            line_start = false;
            // The fuse number: decimal digits up to the first blank or the line end.
            int64_t number = 0;
            int digits = 0;
            bool bad = false;
            for (c = std::getc(in); c != EOF && c != ' ' && c != '\n' && c != '\r'; c = std::getc(in)) {
                if (c >= '0' && c <= '9') {
                    number = number * 10 + (c - '0');
                    if (number > fuse_cap) number = fuse_cap;
                    ++digits;
                } else {
                    bad = true;
                }
            }
            if (bad || digits == 0) {
                format_error = true;
                number = fuse_cap;  // nothing of this field can be stored
            }
            fuse = number;
            fuse_data = true;
            fields.at_field_start = false;
            fields.in_checksum = false;
            etx_after_last_field = false;
            if (c == '\n') line_start = true;
            continue;  // the blank (or CR) ending the number is not a value
        }
        line_start = false;
        if (fuse_data) {
            if (c == '0' || c == '1') {
                if (fuse < limit)
                    map[static_cast<std::size_t>(fuse)] = static_cast<int8_t>(c - '0'),
                    listed.set(static_cast<std::size_t>(fuse));
                else
                    format_error = true;
                if (fuse < fuse_cap) ++fuse;
            } else if (c == '*') {
                fuse_data = false;
                fields.end_of_field();
            }
            continue;
        }
        if (c == etx)
            etx_after_last_field = true;
        else
            fields.feed(c, info);
    }

    const bool read_failed = std::ferror(in) != 0;
    if (read_failed) return JedecResult::read_error;
    if (fuse_data) format_error = true;  // ends inside a fuse list
    // A fuse count that is not the named device's: the file cannot be trusted.
    if (info.has_fuse_count && named && info.fuse_count != device_of(code).fuse_count) format_error = true;
    // "ATF1502" alone is not enough to trust the layout: QF16808 must say so too.
    if (has_1502 && !info.has_fuse_count) format_error = true;
    if (began_with_stx && !etx_after_last_field) format_error = true;
    // Fuses no L field lists take the F field's value (0 without one), as
    // the JEDEC standard has it: a sparse file with F1 means ones there.
    for (int64_t i = 0; i < limit && i < static_cast<int64_t>(map_size); ++i)
        if (!listed.test(static_cast<std::size_t>(i))) {
            ++info.defaulted;
            if (info.default_fuse == 1) map[static_cast<std::size_t>(i)] = 1;
        }
    info.computed_checksum = fuse_checksum(map, code);
    if (format_error) return JedecResult::format_error;
    if (info.has_checksum && info.file_checksum != info.computed_checksum) return JedecResult::checksum_error;
    return JedecResult::ok;
}

JedecResult readj(FuseMap& map, const FileName& name, int32_t& code) {
    std::array<char, name_len + 1> path{};
    std::FILE* in = std::fopen(path_of(name, path), "rb");
    if (!in) {
        map.fill(0);
        return JedecResult::read_error;
    }
    JedecInfo info;
    JedecResult r = read_jedec(in, map, code, info);
    std::fclose(in);
    return r;
}

const char* jedec_refusal(JedecResult r, int32_t code, Devices devices) {
    const bool known = code == code_1504 || code == code_1508 || (devices == Devices::family && code == code_1502);
    if (r == JedecResult::read_error) return "JEDEC file read error";
    if (!known) return "File type unknown";
    if (r == JedecResult::format_error) return "JEDEC file format error";
    if (r == JedecResult::checksum_error) return "JEDEC file checksum error";
    return nullptr;
}

}  // namespace vr
