// XSVF read back as the SVF text it stands for, so that one import (and its
// refusals) serves both forms.
#include <cstdio>
#include <string_view>

#include "jtag/probe/xsvf_probe.hpp"
#include "tools/svf.hpp"

namespace vr::svf {
namespace {

// The longest data scan taken, as the SVF import takes it.
constexpr uint32_t max_bits = 4096;

class Reader {
public:
    explicit Reader(std::string_view b) : b_(b) {}
    bool more() const { return at_ < b_.size(); }
    std::size_t at() const { return at_; }
    bool byte(uint8_t& v) {
        if (at_ >= b_.size()) return false;
        v = static_cast<uint8_t>(b_[at_++]);
        return true;
    }
    bool u16(uint32_t& v) {
        uint8_t a, b;
        if (!byte(a) || !byte(b)) return false;
        v = static_cast<uint32_t>(a) << 8 | b;
        return true;
    }
    bool u32(uint32_t& v) {
        uint32_t hi, lo;
        if (!u16(hi) || !u16(lo)) return false;
        v = hi << 16 | lo;
        return true;
    }
    // (bits + 7) / 8 bytes as SVF hex of (bits + 3) / 4 digits, lower case.
    // Padding bits that are set keep their digit, for the import to refuse.
    bool hex(uint32_t bits, std::string& h) {
        const std::size_t n = (bits + 7) / 8;
        if (b_.size() - at_ < n) return false;
        static const char digits[] = "0123456789abcdef";
        h.clear();
        for (std::size_t i = 0; i < n; ++i) {
            const uint8_t v = static_cast<uint8_t>(b_[at_++]);
            h += digits[v >> 4];
            h += digits[v & 15];
        }
        const std::size_t want = (bits + 3) / 4;
        while (h.size() > want && h[0] == '0') h.erase(0, 1);
        return true;
    }

private:
    std::string_view b_;
    std::size_t at_ = 0;
};

const char* state_name(uint8_t s) {
    switch (s) {
    case 0x00: return "RESET";
    case 0x01: return "IDLE";
    case 0x06: return "DRPAUSE";
    case 0x0D: return "IRPAUSE";
    default: return nullptr;
    }
}

}  // namespace

bool xsvf_to_svf(std::string_view xsvf, std::string& svf, std::vector<std::size_t>& offsets, std::string& error) {
    Reader r(xsvf);
    uint32_t size = 0, runtest = 0;
    std::string mask, tdo, tdi;
    svf.clear();
    offsets.assign(1, 0);
    std::size_t at = 0;  // where the instruction being read starts
    auto line = [&](const std::string& text) {
        svf += text;
        svf += '\n';
        for (char c : text)
            if (c == '\n') offsets.push_back(at);
        offsets.push_back(at);
    };
    auto refuse = [&](const std::string& why) {
        char b[32];
        std::snprintf(b, sizeof b, "byte %zu: ", at);
        error = b + why;
        return false;
    };
    auto wait = [&] {
        if (runtest) line("STATE IDLE;"), line("RUNTEST " + std::to_string(runtest) + "E-6 SEC;");
    };
    auto zeros = [](const std::string& h) { return h.find_first_not_of('0') == std::string::npos; };
    while (r.more()) {
        at = r.at();
        uint8_t op = 0, a = 0, b = 0;
        uint32_t n = 0;
        r.byte(op);
        bool whole = true;
        switch (op) {
        case jtag::xcomplete:
            return true;
        case jtag::xtdomask:
            whole = r.hex(size, mask);
            break;
        case jtag::xsir:
        case 0x15:  // XSIR2: a 16-bit length
            whole = op == jtag::xsir ? r.byte(a) && ((n = a), true) : r.u16(n);
            whole = whole && r.hex(n, tdi);
            if (!whole) break;
            if (n == 0 || n > 64) return refuse("an instruction scan of " + std::to_string(n) + " bits");
            line("SIR " + std::to_string(n) + " TDI (" + tdi + ");");
            wait();
            break;
        case jtag::xsdr:
        case jtag::xsdrtdo:
            if (size == 0) return refuse("a data scan before XSDRSIZE");
            whole = r.hex(size, tdi) && (op == jtag::xsdr || r.hex(size, tdo));
            if (!whole) break;
            // An XSDR is judged against the last expected value, under the mask.
            if (mask.empty() || zeros(mask) || tdo.empty())
                line("SDR " + std::to_string(size) + " TDI (" + tdi + ");");
            else
                line("SDR " + std::to_string(size) + " TDI (" + tdi + ")\n\tTDO (" + tdo + ")\n\tMASK (" + mask + ");");
            wait();
            break;
        case jtag::xruntest:
            whole = r.u32(runtest);
            break;
        case jtag::xrepeat:
            whole = r.byte(a);
            break;
        case jtag::xsdrsize:
            whole = r.u32(n);
            if (whole && (n == 0 || n > max_bits))
                return refuse("a data scan size of " + std::to_string(n) + " bits (from 1 to " +
                              std::to_string(max_bits) + " are taken)");
            size = n, mask.clear(), tdo.clear();
            break;
        case jtag::xstate:
            whole = r.byte(a);
            if (whole && !state_name(a)) return refuse("XSTATE to a passing state");
            if (whole) line(std::string("STATE ") + state_name(a) + ";");
            break;
        case jtag::xendir:
        case jtag::xenddr:
            whole = r.byte(a);
            if (whole && a > 1) return refuse("an end state other than Run-Test/Idle or Pause");
            if (whole)
                line(std::string(op == jtag::xendir ? "ENDIR " : "ENDDR ") +
                     (a ? (op == jtag::xendir ? "IRPAUSE" : "DRPAUSE") : "IDLE") + ";");
            break;
        case jtag::xwait:
            whole = r.byte(a) && r.byte(b) && r.u32(n);
            if (whole && (!state_name(a) || !state_name(b))) return refuse("XWAIT in a passing state");
            if (!whole) break;
            line(std::string("STATE ") + state_name(a) + ";");
            line("RUNTEST " + std::to_string(n) + "E-6 SEC;");
            if (a != b) line(std::string("STATE ") + state_name(b) + ";");
            break;
        case 0x16:  // XCOMMENT: text up to a NUL
            do whole = r.byte(a);
            while (whole && a != 0);
            break;
        default: {
            char b2[48];
            std::snprintf(b2, sizeof b2, "XSVF instruction 0x%02X is not taken", op);
            return refuse(b2);
        }
        }
        if (!whole) return refuse("the file ends inside an instruction");
    }
    at = r.at();
    return refuse("the file ends without XCOMPLETE");
}

}  // namespace vr::svf
