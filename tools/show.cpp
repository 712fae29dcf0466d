#include "tools/show.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fusemap/device.hpp"
#include "jtag/flow/words.hpp"
#include "tools/pins.hpp"

namespace vr::svf::show {
namespace {

std::string escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') out += c;
        }
    }
    return out;
}

std::string num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

struct Canvas {
    std::string body;
    void rect(double x, double y, double w, double h, const char* fill, const char* stroke, double width = 1,
              const char* extra = "") {
        body += "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) + "\" height=\"" + num(h) +
                "\" fill=\"" + fill + "\" stroke=\"" + stroke + "\" stroke-width=\"" + num(width) + "\"" + extra + "/>\n";
    }
    void text(double x, double y, const std::string& t, int size = 12, const char* anchor = "start",
              const char* extra = "") {
        body += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" font-size=\"" + std::to_string(size) +
                "\" text-anchor=\"" + anchor + "\"" + extra + ">" + escaped(t) + "</text>\n";
    }
};

const char* colour_of(pins::Use u) {
    switch (u) {
    case pins::Use::output: return "#e4572e";
    case pins::Use::input_or_unused: return "#bcd9ea";
    case pins::Use::dedicated_input: return "#3182bd";
    case pins::Use::jtag: return "#31a354";
    case pins::Use::other: break;
    }
    return "#dddddd";
}

const char* use_name(pins::Use u) {
    switch (u) {
    case pins::Use::output: return "output";
    case pins::Use::input_or_unused: return "input or unused";
    case pins::Use::dedicated_input: return "dedicated input";
    case pins::Use::jtag: return "JTAG";
    case pins::Use::other: break;
    }
    return "power or not connected";
}

bool has(const std::vector<check::Finding>& fs, check::Severity s, const char* word) {
    for (const check::Finding& f : fs)
        if (f.severity == s && f.text.find(word) != std::string::npos) return true;
    return false;
}

// Whether a macrocell's product terms or output enable differ between maps.
bool differs(const FuseMap& a, const FuseMap& b, const bureau::Chip& chip, const bureau::Macrocell& mc) {
    for (uint32_t first : mc.pterm)
        for (uint32_t f = first; f < first + chip.pterm_width; ++f)
            if (a[f] != b[f]) return true;
    for (uint8_t i = 0; i < mc.oe_count; ++i)
        if (a[mc.oe[i]] != b[mc.oe[i]]) return true;
    return false;
}

const bureau::Macrocell* macrocell_of(const bureau::Chip& chip, const std::string& pad) {
    if (pad.empty() || pad[0] != 'M') return nullptr;
    const int n = std::atoi(pad.c_str() + 1);
    for (uint8_t m = 0; m < chip.macrocell_count; ++m)
        if (chip.macrocells[m].number == n) return &chip.macrocells[m];
    return nullptr;
}

}  // namespace

std::string svg(const FuseMap& map, int32_t code, const JedecInfo& info, const std::vector<check::Finding>& findings,
                const std::string& name, const FuseMap* other, const std::string& other_name) {
    const Device& d = device_of(code);
    const int32_t special = d.special.first;
    const bool jtag_on = map[special + 1] == 1;
    Canvas c;
    const double width = 960;
    double y = 36;
    const std::string title = std::string(d.name) + " \xE2\x80\x94 " + name + (other ? " against " + other_name : "");
    c.text(width / 2, y, title, 20, "middle", " font-weight=\"bold\"");
    y += 24;

    const bureau::Chip* chip = pins::chip_of(code);
    if (chip) {
        const bureau::Package& package = pins::package_of(*chip, info.package_pins);
        const std::vector<pins::Pin> all = pins::pins_of(map, *chip, package, jtag_on);
        const bool jtag_hazard = has(findings, check::Severity::hazard, "JTAG");
        const bool blank_hazard = has(findings, check::Severity::hazard, "blank");
        c.text(width / 2, y, std::string(package.name) + ": every pin in order around the outline (not to scale)", 12,
               "middle");
        y += 16;
        // The outline and its pins, clockwise from the top left corner.
        const int per_side = (package.pins + 3) / 4;
        const double side = 560, x0 = (width - side) / 2, y0 = y + 60, step = side / per_side;
        c.rect(x0, y0, side, side, "#f7f7f7", "#333333", 2);
        c.text(x0 + side / 2, y0 + side / 2, std::string(d.name) + " (" + package.name + ")", 18, "middle");
        for (int n = 1; n <= package.pins; ++n) {
            const pins::Pin* pin = nullptr;
            for (const pins::Pin& p : all)
                if (p.number == n) pin = &p;
            const int k = (n - 1) / per_side, i = (n - 1) % per_side;
            double px = 0, py = 0, w = 14, h = 14;
            double tx = 0, ty = 0;
            const char* anchor = "middle";
            std::string rotate;
            switch (k) {
            case 0: px = x0 + (i + 0.5) * step - 7, py = y0 - 18, tx = px + 7, ty = py - 4; rotate = "-90"; break;
            case 1: px = x0 + side + 4, py = y0 + (i + 0.5) * step - 7, tx = px + 18, ty = py + 11, anchor = "start"; break;
            case 2: px = x0 + side - (i + 0.5) * step - 7, py = y0 + side + 4, tx = px + 7, ty = py + 26; rotate = "90"; break;
            default: px = x0 - 18, py = y0 + side - (i + 0.5) * step - 7, tx = px - 4, ty = py + 11, anchor = "end"; break;
            }
            const pins::Use use = pin ? pin->use : pins::Use::other;
            const bureau::Macrocell* own = pin ? macrocell_of(*chip, pin->pad) : nullptr;
            const bool changed = other && own && differs(map, *other, *chip, *own);
            const bool marked = pin && ((jtag_hazard && !pin->function.empty() &&
                                         (pin->function == "TDI" || pin->function == "TMS" || pin->function == "TCK" ||
                                          pin->function == "TDO")) ||
                                        (blank_hazard && use == pins::Use::output && pin->global_oe && !pin->logic));
            c.rect(px, py, w, h, colour_of(use), marked || changed ? "#d00000" : "#333333", marked || changed ? 3 : 1,
                   (std::string(" class=\"pin\" data-pin=\"") + std::to_string(n) + "\" data-use=\"" + use_name(use) +
                    "\"" + (marked ? " data-finding=\"1\"" : "") +
                    (changed ? " data-differs=\"1\" stroke-dasharray=\"3,2\"" : ""))
                       .c_str());
            std::string label = std::to_string(n);
            if (pin) label += " " + (pin->function.empty() ? pin->pad : pin->pad + " " + pin->function);
            if (!rotate.empty()) {
                const std::string t = " transform=\"rotate(" + rotate + " " + num(tx) + " " + num(ty) + ")\"";
                c.text(tx, ty, label, 9, rotate == "-90" ? "start" : "start", t.c_str());
            } else {
                c.text(tx, ty, label, 9, anchor);
            }
        }
        y = y0 + side + 110;
        // The legend.
        double lx = 60;
        for (pins::Use u : {pins::Use::output, pins::Use::input_or_unused, pins::Use::dedicated_input, pins::Use::jtag,
                            pins::Use::other}) {
            c.rect(lx, y - 11, 12, 12, colour_of(u), "#333333");
            c.text(lx + 16, y, use_name(u), 12);
            lx += 170;
        }
        y += 22;
        c.text(60, y, other ? "a red outline: a pin a hazard concerns; dashed: its macrocell differs from the other file"
                            : "a red outline: a pin a hazard concerns",
               12);
        y += 28;
        // The macrocells of each logic block.
        c.text(60, y, "Macrocells (filled: holds logic; thick border: output enabled)", 14, "start", " font-weight=\"bold\"");
        y += 10;
        char block = 0;
        double mx = 0;
        for (uint8_t m = 0; m < chip->macrocell_count; ++m) {
            const bureau::Macrocell& mc = chip->macrocells[m];
            if (mc.block != block) {
                block = mc.block;
                y += 24;
                c.text(60, y + 12, std::string("block ") + block, 12);
                mx = 130;
            }
            const bool logic = pins::holds_logic(map, *chip, mc), out = pins::output_enabled(map, mc);
            const bool changed = other && differs(map, *other, *chip, mc);
            c.rect(mx, y, 34, 16, logic ? "#74c476" : "#ffffff", changed ? "#d00000" : "#333333", out || changed ? 3 : 1,
                   (std::string(" class=\"macrocell\" data-mc=\"MC") + std::to_string(mc.number) + "\"" +
                    (changed ? " data-differs=\"1\" stroke-dasharray=\"3,2\"" : ""))
                       .c_str());
            c.text(mx + 17, y + 12, "MC" + std::to_string(mc.number), 9, "middle");
            mx += 40;
        }
        y += 40;
    } else {
        y += 10;
        c.text(60, y, std::string("No public fuse database covers the ") + d.name +
                          ": its pins and macrocells are not drawn, only what its configuration fuses say.",
               13);
        y += 30;
    }
    // The global settings and the findings.
    c.text(60, y, "Settings", 14, "start", " font-weight=\"bold\"");
    y += 20;
    const std::string settings[] = {
        std::string("JTAG pins: ") + (jtag_on ? "JTAG" : "user I/O (the design takes them)"),
        std::string("read protection: ") + (map[special] == 0 ? "set" : "off"),
        std::string("fuse checksum: ") + [&] {
            char b[8];
            std::snprintf(b, sizeof b, "%04X", info.computed_checksum);
            return std::string(b);
        }(),
    };
    for (const std::string& s : settings) c.text(70, y, s, 12), y += 18;
    if (chip) {
        c.text(70, y, std::string("pin keepers: ") + (map[chip->termination] == 0 ? "on" : "off"), 12), y += 18;
        c.text(70, y, std::string("TMS pull-up: ") + (map[chip->tms_termination] == 0 ? "on" : "off") +
                          std::string(", TDI pull-up: ") + (map[chip->tdi_termination] == 0 ? "on" : "off"),
               12);
        y += 18;
    }
    if (other) {
        // The words that differ, in the chip maker's order.
        const jtag::Layout layout = flow::layout_of(code);
        flow::WordList order;
        const std::size_t count = flow::word_order(layout, order);
        std::string list;
        int words = 0, fuses = 0;
        for (int32_t i = 0; i < d.fuse_count; ++i) fuses += map[static_cast<std::size_t>(i)] != (*other)[static_cast<std::size_t>(i)];
        for (std::size_t i = 0; i < count; ++i) {
            uint8_t a[jtag::max_word_bytes] = {}, b[jtag::max_word_bytes] = {};
            flow::word_of(map, layout, order[i], a);
            flow::word_of(*other, layout, order[i], b);
            if (std::memcmp(a, b, sizeof a) == 0) continue;
            char hex[8];
            std::snprintf(hex, sizeof hex, "%03X", order[i]);
            if (++words <= 24) list += std::string(list.empty() ? "" : " ") + hex;
        }
        y += 12;
        c.text(60, y, "Differences from " + other_name, 14, "start", " font-weight=\"bold\"");
        y += 20;
        c.text(70, y,
               std::to_string(fuses) + " fuses in " + std::to_string(words) + " words" +
                   (words ? ": " + list + (words > 24 ? " ..." : "") : ""),
               12, "start", " class=\"differences\"");
        y += 18;
    }
    y += 12;
    c.text(60, y, "Findings", 14, "start", " font-weight=\"bold\"");
    y += 20;
    if (findings.empty()) c.text(70, y, "none", 12), y += 18;
    for (const check::Finding& f : findings) {
        const char* colour = f.severity == check::Severity::hazard    ? "#d00000"
                             : f.severity == check::Severity::warning ? "#b06000"
                                                                      : "#333333";
        // Long texts wrapped at about 130 characters.
        std::string rest = check::line_of(f);
        bool first = true;
        while (!rest.empty()) {
            std::size_t cut = rest.size() <= 130 ? rest.size() : rest.rfind(' ', 130);
            if (cut == std::string::npos || cut == 0) cut = std::min<std::size_t>(130, rest.size());
            c.text(first ? 70 : 90, y, rest.substr(0, cut), 11, "start",
                   (std::string(" fill=\"") + colour + "\" class=\"finding\"").c_str());
            rest = cut < rest.size() ? rest.substr(cut + 1) : std::string();
            first = false;
            y += 16;
        }
    }
    y += 20;
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width) +
           "\" height=\"" + num(y) + "\" viewBox=\"0 0 " + num(width) + " " + num(y) +
           "\" font-family=\"sans-serif\">\n<title>" + escaped(title) +
           "</title>\n<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n" + c.body + "</svg>\n";
}

}  // namespace vr::svf::show
