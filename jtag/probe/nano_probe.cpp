#include "jtag/probe/nano_probe.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "jtag/probe/crc8.hpp"
#include "jtag/probe/nano_supply.hpp"
#include "jtag/probe/tap_engine.hpp"
#include "os/clock.hpp"
#include "os/port.hpp"

namespace vr::jtag {
namespace {

constexpr uint8_t cmd_tap_tdi = 0x24, cmd_pad = 0x25;
// Filler after a reply this host waits for: a USB serial chip that holds
// short replies (an FT232R: fewer than 62 bytes up to its 16 ms latency
// timer) sends a packet once 62 bytes wait, and the reply is in that packet
// whatever came before it.
constexpr uint8_t pad_bytes = 62;
constexpr uint8_t cmd_port_mode = 0x01, cmd_read_adcs = 0x03, cmd_tap_shift = 0x05, cmd_enter_ocd = 0x06,
                  cmd_uart_speed = 0x07, cmd_leave = 0x0F, cmd_status = 0x20, cmd_vpp = 0x21, cmd_arm = 0x22,
                  cmd_wait = 0x23;
constexpr uint8_t status_refused = 0x02, status_too_long = 0x04, status_released = 0x08;
// VPP's key: 12 V comes on only for these two bytes after 0x21.
constexpr uint8_t vpp_key[2] = {0x56, 0x50};
constexpr uint32_t max_shift = 8192;
// Bytes on their way to the Nano at most: its receive ring holds 255, and
// a word of a write with its wait takes about 90.
constexpr std::size_t window = 248;
constexpr int reply_ms = 2000;

// The driver's counts: 155.1515 per volt. A count beyond any real supply
// (a garbled reply) is held at the largest value rather than wrapped.
uint16_t millivolts(const uint8_t* v) {
    const double mv = (v[0] << 8 | v[1]) * 1000 / 155.1515 + 0.5;
    return static_cast<uint16_t>(mv < 65535 ? mv : 65535);
}

std::string volts_text(uint16_t mv) {
    char t[16];
    std::snprintf(t, sizeof t, "%.1f V", mv / 1000.0);
    return t;
}

}  // namespace

NanoProbe::~NanoProbe() { close(); }

bool NanoProbe::fail(const std::string& why) {
    failure_ = why;
    failed_ = true;
    return false;
}

void NanoProbe::log_bytes(const char* dir, const uint8_t* data, std::size_t n) {
    if (!log_ || n == 0) return;
    std::fprintf(log_, "%.6f %s", os::now_seconds() - t0_, dir);
    for (std::size_t i = 0; i < n; ++i) std::fprintf(log_, " %02X", data[i]);
    std::fputc('\n', log_);
}

void NanoProbe::send(const uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) sent_crc_ = crc8(sent_crc_, out[i]);
    os::write(reinterpret_cast<const char*>(out), n);
    log_bytes(">", out, n);
}

long NanoProbe::receive(uint8_t* in, std::size_t m) {
    const long got = os::read(in, m, reply_ms);
    if (got > 0) log_bytes("<", in, static_cast<std::size_t>(got));
    for (long i = 0; i < got; ++i) heard_crc_ = crc8(heard_crc_, in[i]);
    return got;
}

bool NanoProbe::exchange(const uint8_t* out, std::size_t n, uint8_t* in, std::size_t m) {
    // Filler still on its way would be read as this command's answer.
    if (!replies_.empty() && !failed_) pump(true, nullptr, true);
    send(out, n);
    std::size_t got = 0;
    for (long r; got < m && (r = receive(in + got, m - got)) > 0;) got += static_cast<std::size_t>(r);
    return got == m;
}

bool NanoProbe::open(const char* path, int boot_wait_ms, std::string& error) {
    close();
    if (!os::open_device(path) || !os::binary()) {
        error = std::string("cannot open ") + path;
        os::close();
        return false;
    }
    open_ = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(boot_wait_ms));
    // In one write: 20 NULs, answered "BBIO1" (once more for each NUL after
    // a Nano already in probe mode), the JTAG mode, answered "OCD1" after
    // every "BBIO1" (the Nano answers in order), and the fast line, which
    // the Nano switches to once "OCD1" has gone and this host once it has
    // read it. Whatever an earlier session left on the line comes before
    // them and is passed over; nothing is waited out in silence.
    uint8_t enter[23] = {};
    enter[20] = cmd_enter_ocd, enter[21] = cmd_uart_speed, enter[22] = 1;
    send(enter, sizeof enter);
    if (!read_until("BBIO1", 1000)) {
        error = "no answer from a Nano in probe mode on " + std::string(path) +
                " (is the vrjtag firmware on it? a longer --boot-wait?)";
        close();
        return false;
    }
    if (!read_until("OCD1", reply_ms)) {
        error = "the Nano did not enter its JTAG mode";
        close();
        return false;
    }
    // At the new speed: the handshake, then the leave on silence armed
    // (should this host fall silent in the middle of a write, the Nano takes
    // the chip out of programming mode itself) and the first status, which
    // starts the CRCs on both sides (the Nano's counted from the NULs, which
    // this host may have sent more of). The pins are not driven yet: the
    // first scan asks for them (after VPP, in a recovery).
    const uint8_t start[5] = {0xAA, 0x55, cmd_arm, 1, cmd_status};
    uint8_t reply[8] = {};
    if (!os::set_speed(1000000) || !exchange(start, sizeof start, reply, 2) || reply[0] != cmd_uart_speed ||
        reply[1] != 1) {
        error = "the Nano did not answer on the fast line (1,000,000 baud)";
        close();
        return false;
    }
    if (!exchange(start, 0, reply, 2) || reply[0] != cmd_arm || reply[1] != 1) {
        error = "the Nano's firmware is older than this vrjtag (it does not arm the leave on silence): update it";
        close();
        return false;
    }
    if (!exchange(start, 0, reply, 4) || reply[0] != cmd_status) {
        error = "no answer from the Nano";
        close();
        return false;
    }
    sent_crc_ = heard_crc_ = 0;
    asked_ = false;
    failed_ = false;
    return true;
}

// Reads until what came ends with text, discarding what came before it.
bool NanoProbe::read_until(const char* text, int timeout_ms) {
    const std::string want(text);
    std::string heard;
    uint8_t in = 0;
    const double give_up = os::now_seconds() + timeout_ms / 1000.0;
    while (heard.size() < want.size() || heard.compare(heard.size() - want.size(), want.size(), want) != 0) {
        const int left = static_cast<int>((give_up - os::now_seconds()) * 1000);
        if (left <= 0 || os::read(&in, 1, left) != 1) return false;
        log_bytes("<", &in, 1);
        heard.push_back(static_cast<char>(in));
    }
    return true;
}

// A status reply (0x20, flags, the CRCs of what the Nano heard and sent)
// against this host's own CRCs of what it sent and heard.
bool NanoProbe::settle(const uint8_t* reply, uint8_t expect_in, uint8_t expect_out) {
    if (reply[2] != expect_in || reply[3] != expect_out)
        return fail(reply[2] != expect_in ? "a byte to the Nano arrived changed (its CRC differs): a bad cable or USB link"
                                          : "a byte from the Nano arrived changed (its CRC differs): a bad cable or USB link");
    flags_ |= reply[1];
    if (flags_ & status_released)
        return fail("the Nano released the JTAG pins by itself (this host was silent for 5 s, or the target's "
                    "supply dipped): the chip's state is unknown");
    return true;
}

void NanoProbe::close() {
    if (!open_) return;
    open_ = false;
    // The pins released, the leave on silence disarmed and the line slowed
    // down (the Nano switches once its reply to the disarm has gone); then,
    // at 115200, the handshake, the bit-bang mode and out of probe mode, so
    // that the adapter protocol answers again.
    uint8_t reply[8];
    const uint8_t off[6] = {cmd_port_mode, 0, cmd_arm, 0, cmd_uart_speed, 0};
    const uint8_t back[4] = {0xAA, 0x55, 0, cmd_leave};
    if (exchange(off, sizeof off, reply, 2) && os::set_speed(115200)) exchange(back, sizeof back, reply, 8);
    os::close();
}

void NanoProbe::step(bool tms, bool tdi) {
    const uint32_t byte = queued_ / 8, bit = queued_ % 8;
    if (bit == 0) tdi_.push_back(0), tms_.push_back(0);
    if (tdi) tdi_[byte] = static_cast<uint8_t>(tdi_[byte] | 1u << bit);
    if (tms) tms_[byte] = static_cast<uint8_t>(tms_[byte] | 1u << bit);
    ++queued_;
}

// A command for the stream, with what its reply will be.
void NanoProbe::queue(std::vector<uint8_t> bytes, Reply::Kind kind, uint32_t bits, bool keep) {
    Piece piece;
    piece.bytes = std::move(bytes);
    piece.reply = {kind, bits, keep, 0, 0, 0, 0, false};
    pieces_.push_back(std::move(piece));
}

// The queued TAP bits as shift commands (at most 8192 bits each); with keep,
// their TDO bytes are kept in captured_.
void NanoProbe::emit_shift(bool keep) {
    if (queued_ && !asked_) {
        // The pins are asked for before the first shift, not at open: in a
        // recovery VPP comes first.
        queue({cmd_port_mode, 1}, Reply::none, 0, false);
        asked_ = true;
    }
    // Whole bytes whose TMS bits are all low go as TDI alone (0x24), the
    // rest as pairs (0x05): the middle of a long scan takes half the bytes,
    // and a word with its wait fits the Nano's ring twice over.
    const uint32_t total_bytes = (queued_ + 7) / 8;
    for (uint32_t b = 0; b < total_bytes;) {
        const bool compact = tms_[b] == 0 && b + 1 < total_bytes;
        uint32_t e = b;
        while (e < total_bytes && (e - b) * 8 < max_shift && (tms_[e] == 0 && e + 1 < total_bytes) == compact) ++e;
        const uint32_t bits = std::min(queued_, e * 8) - b * 8;
        std::vector<uint8_t> out{compact ? cmd_tap_tdi : cmd_tap_shift, static_cast<uint8_t>(bits >> 8),
                                 static_cast<uint8_t>(bits)};
        for (uint32_t i = b; i < e; ++i) {
            out.push_back(tdi_[i]);
            if (!compact) out.push_back(tms_[i]);
        }
        queue(std::move(out), compact ? Reply::tdi_shift : Reply::shift, bits, keep);
        b = e;
    }
    tdi_.clear(), tms_.clear(), queued_ = 0;
}

// Sends what is queued, never more than a ring's worth ahead of what the
// Nano is known to have read, and takes the replies in as they come. With
// all, until every reply is in (the filler after the last one too, with
// filler); else until everything is sent.
bool NanoProbe::pump(bool all, const Batch* until, bool filler) {
    while (!failed_ &&
           (!pieces_.empty() || (all && (filler ? !replies_.empty() : owes_answer())) || (until && !until->settled))) {
        if (!pieces_.empty()) {
            Piece& p = pieces_.front();
            const bool unanswered = sent_total_ < silent_until_;  // a refused shift's pairs: nothing tells their pace
            const uint64_t ahead = sent_total_ - consumed_;
            if (unanswered || ahead < window) {
                std::size_t n = p.bytes.size() - p.sent;
                if (!unanswered) n = std::min<std::size_t>(n, window - ahead);
                else n = std::min<std::size_t>({n, window, static_cast<std::size_t>(silent_until_ - sent_total_)});
                if (p.sent == 0 && p.reply.kind != Reply::none) {
                    p.reply.start = sent_total_;
                    p.reply.length = p.bytes.size();
                    replies_.push_back(p.reply);
                }
                send(p.bytes.data() + p.sent, n);
                sent_total_ += n;
                p.sent += n;
                if (p.reply.kind == Reply::status && p.sent == p.bytes.size()) {
                    // What the Nano's CRC of the bytes it received must be.
                    replies_.back().crc_in = sent_crc_;
                    sent_crc_ = 0;
                }
                if (p.sent == p.bytes.size()) pieces_.pop_front();
                if (unanswered) std::this_thread::sleep_for(std::chrono::milliseconds(3));
                continue;
            }
        }
        if (replies_.empty()) {
            // Bytes without replies still in flight (a port mode): a status
            // tells when they were read.
            queue({cmd_status}, Reply::status, 0, false);
            continue;
        }
        // What has come, as soon as anything has: a reply owed after a long
        // wait must not hold up the ones before it.
        uint8_t in[256];
        const std::size_t want = std::min(sizeof in, expected_bytes());
        long n = want ? os::read(in, 1, reply_ms) : 0;
        if (os::damaged()) return fail("the serial port reported a damaged byte from the Nano (a framing or parity error)");
        if (n <= 0) return fail("no answer from the Nano");
        if (want > 1) {
            const long more = os::read(in + 1, want - 1, 0);
            if (more > 0) n += more;
        }
        if (os::damaged()) return fail("the serial port reported a damaged byte from the Nano (a framing or parity error)");
        log_bytes("<", in, static_cast<std::size_t>(n));
        for (long i = 0; i < n && !failed_; ++i) take(in[i]);
    }
    return !failed_;
}

// Reply bytes owed for what was sent (never more, so that a read never
// waits for bytes the Nano cannot send yet).
std::size_t NanoProbe::expected_bytes() const {
    std::size_t owed = 0;
    for (const Reply& r : replies_) {
        const uint64_t sent = std::min<uint64_t>(sent_total_ - r.start, r.length);
        switch (r.kind) {
        case Reply::shift:
            owed += r.silent ? 0 : sent < 3 ? 0 : 3 + (sent - 3) / 2;
            break;
        case Reply::tdi_shift:
            owed += r.silent ? 0 : sent < 3 ? 0 : sent;
            break;
        case Reply::wait: owed += sent == r.length ? 1 : 0; break;
        case Reply::pad: owed += sent == r.length ? r.bits : 0; break;
        case Reply::status: owed += sent == r.length ? 4 : 0; break;
        case Reply::none: break;
        }
        if (sent < r.length) break;
    }
    return owed > r_got_ ? owed - r_got_ : 0;
}

// One reply byte, for the oldest command still owed one.
void NanoProbe::take(uint8_t byte) {
    if (replies_.empty()) return void(fail("the Nano answered out of step"));  // more than was owed
    Reply& r = replies_.front();
    const uint32_t at = r.got++;
    ++r_got_;
    if (r.kind != Reply::status) heard_crc_ = crc8(heard_crc_, byte);
    const uint32_t per_byte = r.kind == Reply::tdi_shift ? 1 : 2;  // request bytes for each TDO byte
    switch (r.kind) {
    case Reply::shift:
    case Reply::tdi_shift:
        if (at == 0 && byte != (r.kind == Reply::shift ? cmd_tap_shift : cmd_tap_tdi))
            return void(fail("the Nano answered out of step"));
        if (at == 2) {
            r.header = static_cast<uint16_t>(r.header << 8 | byte);
            if (r.header == 0 && r.bits != 0) {
                // Refused from its start: the pairs go unanswered.
                r.silent = true;
                silent_until_ = r.start + r.length;
                refused_ = true;
                consumed_ = std::max<uint64_t>(consumed_, r.start + 3);
                return done_reply();
            }
            if (r.header != r.bits) return void(fail("the Nano answered out of step"));
            consumed_ = std::max<uint64_t>(consumed_, r.start + 3);
        } else if (at == 1) {
            r.header = byte;
        } else if (at >= 3) {
            if (r.keep) captured_.push_back(byte);
            consumed_ = std::max<uint64_t>(consumed_, r.start + 3 + per_byte * (at - 2));
        }
        if (at + 1 == 3 + (r.bits + 7) / 8) done_reply();
        return;
    case Reply::pad:
        if (byte != cmd_pad) return void(fail("the Nano answered out of step"));
        if (at + 1 < r.bits) return;
        consumed_ = std::max<uint64_t>(consumed_, r.start + r.length);
        return done_reply();
    case Reply::wait:
        if (byte != cmd_wait) return void(fail("the Nano answered out of step"));
        consumed_ = std::max<uint64_t>(consumed_, r.start + r.length);
        return done_reply();
    case Reply::status: {
        r.answer[at] = byte;
        if (at == 0) {
            if (byte != cmd_status) return void(fail("the Nano answered out of step"));
            r.crc_out = heard_crc_;
            heard_crc_ = 0;
        }
        if (at < 3) return;
        consumed_ = std::max<uint64_t>(consumed_, r.start + r.length);
        bool ok;
        if (r.batch && r.answer[2] == r.crc_in && r.answer[3] != r.crc_out) {
            // Only a byte from the Nano changed: the Nano carried out what
            // was sent, and the batch can be read again.
            ok = settle(r.answer, r.crc_in, r.answer[3]);
            for (Batch& b : batches_)
                if (!b.settled) {
                    b.damaged = true;
                    break;
                }
        } else {
            ok = settle(r.answer, r.crc_in, r.crc_out);
        }
        if (r.batch)
            for (Batch& b : batches_)
                if (!b.settled) {
                    b.settled = true;
                    break;
                }
        done_reply();
        if (ok && refused_) fail(refusal_after());
        return;
    }
    case Reply::none:
        return done_reply();
    }
}

void NanoProbe::done_reply() {
    r_got_ -= replies_.front().got;
    replies_.pop_front();
}

// A refusal seen in a reply: the reason from the supplies, once the stream
// is quiet (the voltages are a command of their own).
std::string NanoProbe::refusal_after() {
    refused_ = false;
    if (owes_answer() || !pieces_.empty()) return "the Nano refused to drive the JTAG pins (its supplies)";
    return refusal();
}

// A status this host will wait for, and the filler that sends it at once.
void NanoProbe::queue_status() {
    queue({cmd_status}, Reply::status, 0, false);
    queue({cmd_pad, pad_bytes}, Reply::pad, pad_bytes, false);
}

// Replies still owed other than filler.
bool NanoProbe::owes_answer() const {
    return std::any_of(replies_.begin(), replies_.end(), [](const Reply& r) { return r.kind != Reply::pad; });
}

bool NanoProbe::capture(std::vector<uint8_t>& tdo) {
    while (!later_.empty())
        if (!collect()) return false;
    captured_.clear();
    emit_shift(true);
    queue_status();
    if (!pump(true)) return false;
    tdo.swap(captured_);
    return true;
}

// The scan's bits come back into captured_ with the others kept: where they
// will be is known now, and they are taken out at collect().
bool NanoProbe::dr_scan_later(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t*, const uint8_t*) {
    if (failed_) return false;
    const uint32_t at = queued_ + idle_to_shift_dr.length;
    tap_dr_shift(*this, bits, tdi);
    const uint64_t base = kept_bytes_ * 8;
    kept_bytes_ += (queued_ + 7) / 8 > max_shift / 8 ? 0 : (queued_ + 7) / 8;
    if (queued_ > max_shift) return fail("a scan longer than 8192 bits cannot be read ahead");
    later_.push_back({tdo, bits, base + at});
    emit_shift(true);
    return pump(false);
}

// The scans read ahead since the last batch: a status after them, whose
// CRCs vouch for their bytes before they are used.
void NanoProbe::batch_end() {
    std::size_t batched = 0;
    for (const Batch& b : batches_) batched += b.scans;
    if (failed_ || later_.size() == batched) return;
    emit_shift(false);
    queue({cmd_status}, Reply::status, 0, false);
    pieces_.back().reply.batch = true;
    queue({cmd_pad, pad_bytes}, Reply::pad, pad_bytes, false);
    batches_.push_back({later_.size() - batched, kept_bytes_});
    pump(false);
}

void NanoProbe::forget_later() {
    later_.clear();
    batches_.clear();
    captured_.clear();
    kept_bytes_ = dropped_ = 0;
}

// The oldest batch's words, once its status is in: the batches after it
// keep streaming. A batch whose reply bytes arrived changed (the Nano's CRC
// of what it sent differs) fills nothing, and collect_again() says so.
bool NanoProbe::collect() {
    again_ = false;
    batch_end();
    if (failed_) return forget_later(), false;
    if (batches_.empty()) return check_flags();
    const Batch* front = &batches_.front();
    if (!pump(false, front) || !check_flags()) return forget_later(), false;
    const Batch b = batches_.front();
    batches_.pop_front();
    const uint64_t bytes = b.end_bytes - dropped_;
    if (captured_.size() < bytes) return forget_later(), fail("the Nano answered out of step");
    if (b.damaged) {
        again_ = true;
    } else {
        for (std::size_t k = 0; k < b.scans; ++k) {
            const Later& l = later_[k];
            std::memset(l.tdo, 0, (l.bits + 7u) / 8);
            for (uint16_t i = 0; i < l.bits; ++i) {
                const uint64_t at = l.at + i - dropped_ * 8;
                if ((captured_[at / 8] >> (at % 8)) & 1) l.tdo[i / 8] = static_cast<uint8_t>(l.tdo[i / 8] | 1u << (i % 8));
            }
        }
    }
    later_.erase(later_.begin(), later_.begin() + static_cast<std::ptrdiff_t>(b.scans));
    captured_.erase(captured_.begin(), captured_.begin() + static_cast<std::ptrdiff_t>(bytes));
    dropped_ = b.end_bytes;
    if (later_.empty()) forget_later();
    return !again_;
}

bool NanoProbe::vpp(bool on) {
    if (!open_ || (!drain() && on)) return !on;
    const uint8_t ask[3] = {cmd_vpp, on ? vpp_key[0] : uint8_t{0}, on ? vpp_key[1] : uint8_t{0}};
    uint8_t reply[2] = {};
    if (!exchange(ask, 3, reply, 2) || reply[0] != cmd_vpp) return fail("no answer from the Nano");
    if (!on) asked_ = false;  // the Nano released the pins with VPP: asked for again at the next scan
    return (reply[1] != 0) == on;
}

bool NanoProbe::volts(uint16_t& target_mv, uint16_t& nano_mv) {
    const uint8_t ask = cmd_read_adcs;
    uint8_t reply[10];
    if (!exchange(&ask, 1, reply, 10) || reply[0] != cmd_read_adcs) return fail("no answer from the Nano");
    target_mv = millivolts(reply + 2);
    nano_mv = millivolts(reply + 8);
    return true;
}

// The bits are queued through the TAP engine; what the chain shifted out
// comes back with the shift commands, at the bits' places in the queue.
bool NanoProbe::ir_scan(uint16_t instruction, uint16_t* captured) {
    const uint32_t at = queued_ + idle_to_shift_ir.length;
    tap_ir_shift(*this, instruction, static_cast<uint8_t>(ir_length));
    if (!captured) return !failed_;
    std::vector<uint8_t> tdo;
    if (!capture(tdo)) return false;
    uint16_t v = 0;
    for (uint16_t i = 0; i < ir_length; ++i) v = static_cast<uint16_t>(v | ((tdo[(at + i) / 8] >> ((at + i) % 8)) & 1) << i);
    *captured = v;
    return true;
}

bool NanoProbe::dr_scan(uint16_t bits, const uint8_t* tdi, uint8_t* tdo, const uint8_t*, const uint8_t*) {
    const uint32_t at = queued_ + idle_to_shift_dr.length;
    tap_dr_shift(*this, bits, tdi);
    if (!tdo) return !failed_;
    std::vector<uint8_t> out;
    if (!capture(out)) return false;
    std::memset(tdo, 0, (bits + 7u) / 8);
    for (uint16_t i = 0; i < bits; ++i)
        if ((out[(at + i) / 8] >> ((at + i) % 8)) & 1) tdo[i / 8] = static_cast<uint8_t>(tdo[i / 8] | 1u << (i % 8));
    return true;
}

// The wait is the Nano's own, on its clock (at least 1.01 times the
// tenths of milliseconds asked, rounded up): no wait depends on this host's
// clock or the USB link, and the next scans stream in while it runs.
bool NanoProbe::idle(uint32_t microseconds) {
    if (failed_) return false;
    emit_shift(false);
    for (uint32_t tenths = (microseconds + 99) / 100; tenths > 0;) {
        const uint32_t now = std::min<uint32_t>(tenths, 0xFFFF);
        queue({cmd_wait, static_cast<uint8_t>(now >> 8), static_cast<uint8_t>(now)}, Reply::wait, 0, false);
        tenths -= now;
    }
    tap_idle_clock(*this);
    return true;
}

// A TAP reset, and everything before it confirmed: the end of an erase, of
// a leave of programming mode, of a failed run.
bool NanoProbe::reset() {
    tap_reset(*this);
    return drain();
}

// Everything queued sent, with the Nano's status of it; the replies of the
// last ring's worth may still be on their way (the next call takes them).
// A failure shows here or at a later call, and always before a scan's
// captured bits, a reset or VPP.
bool NanoProbe::flush() {
    if (failed_) return false;
    emit_shift(false);
    queue({cmd_status}, Reply::status, 0, false);
    if (!pump(false)) return false;
    return check_flags();
}

// Everything queued carried out and every reply in.
bool NanoProbe::drain() {
    if (failed_) return false;
    emit_shift(false);
    queue_status();
    return pump(true) && check_flags();
}

bool NanoProbe::check_flags() {
    const uint8_t flags = flags_;
    flags_ = 0;
    if (flags & status_too_long) return fail("the Nano refused a scan longer than 8192 bits");
    if (flags & status_refused) return fail(refusal_after());
    return !failed_;
}

// Why the Nano refused to drive the pins, from the supplies it measures.
std::string NanoProbe::refusal() {
    uint16_t target = 0, nano = 0;
    if (!volts(target, nano)) return failure_;
    if (nano < nano_min_mv)
        return "the Nano's own supply is " + volts_text(nano) + ": below " + volts_text(nano_min_mv) +
               " it does not drive the JTAG pins";
    if (target < target_min_mv) return "no target supply on A4 (" + volts_text(target) + "): power the board";
    if (target < target_5v_mv)
        return "the target runs at " + volts_text(target) +
               ": the Nano drives a 3.3 V target only through level translators, with D8 strapped to GND";
    return "the Nano did not drive the JTAG pins";
}

// A TAP reset, which the Nano refuses without a safe supply.
ChainProblem NanoProbe::chain_problem() {
    return reset() ? chain_sound : chain_probe;
}

}  // namespace vr::jtag
