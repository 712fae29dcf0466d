// The dialogs, control by control, in dialog units.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vr {

enum class ControlKind { static_one_line, static_lines, check_box, push_button, progress_bar };

struct Control {
    int32_t id;
    ControlKind kind;
    int32_t x, y, cx, cy;
    const char* text;
};

struct DialogDesc {
    int32_t id;
    int32_t cx, cy;
    const char* caption;
    std::span<const Control> controls;
};

inline constexpr int32_t action_dialog = 201;
inline constexpr int32_t progress_dialog = 101;
// The direct route's action dialog: the same four boxes, then erase, blank
// check and recovery; and the recovery's choice of part.
inline constexpr int32_t direct_dialog = 202;
inline constexpr int32_t part_dialog = 203;
// The connection window: where jtag.ini sends the programmer.
inline constexpr int32_t connect_dialog = 204;
inline constexpr int32_t connect_first_choice = 241, connect_choices = 20;

// The action boxes both action dialogs share, in their places.
inline constexpr Control action_boxes[] = {
    {210, ControlKind::static_one_line, 10, 5, 390, 12, "Choose Action and File"},
    {211, ControlKind::check_box, 40, 30, 240, 16, "WRITE from a local file, without burning security fuse"},
    {212, ControlKind::check_box, 40, 42, 240, 16, "WRITE from a local file, and burn security fuse"},
    {213, ControlKind::check_box, 40, 54, 240, 16, "READ to a local file"},
    {214, ControlKind::check_box, 40, 66, 240, 16, "VERIFY with a local file"},
};

// The controls of a followed by those of b.
template <std::size_t A, std::size_t B>
constexpr std::array<Control, A + B> joined(const Control (&a)[A], const Control (&b)[B]) {
    std::array<Control, A + B> all{};
    for (std::size_t i = 0; i < A; ++i) all[i] = a[i];
    for (std::size_t i = 0; i < B; ++i) all[A + i] = b[i];
    return all;
}

inline constexpr Control action_buttons[] = {
    {215, ControlKind::push_button, 40, 90, 120, 15, "Cancel"},
    {216, ControlKind::push_button, 240, 90, 120, 15, "Continue"},
};
inline constexpr auto action_controls = joined(action_boxes, action_buttons);

// The direct route's: erase, blank check and recovery below the four boxes.
inline constexpr Control direct_more[] = {
    {217, ControlKind::check_box, 40, 78, 240, 16, "ERASE the chip"},
    {218, ControlKind::check_box, 40, 90, 240, 16, "BLANK CHECK the chip"},
    {219, ControlKind::check_box, 40, 102, 240, 16, "RECOVER a chip whose JTAG pins are off"},
    {215, ControlKind::push_button, 40, 126, 120, 15, "Cancel"},
    {216, ControlKind::push_button, 240, 126, 120, 15, "Continue"},
};
inline constexpr auto direct_controls = joined(action_boxes, direct_more);

inline constexpr Control part_controls[] = {
    {220, ControlKind::static_lines, 10, 5, 380, 22,
     "RECOVER: which part is the chip? With its JTAG pins off it cannot tell before 12 V is on."},
    {221, ControlKind::check_box, 40, 30, 120, 16, "ATF1502AS"},
    {222, ControlKind::check_box, 40, 42, 120, 16, "ATF1504AS"},
    {223, ControlKind::check_box, 40, 54, 120, 16, "ATF1508AS"},
    {224, ControlKind::check_box, 200, 30, 120, 16, "ATF1502ASV"},
    {225, ControlKind::check_box, 200, 42, 120, 16, "ATF1504ASV"},
    {226, ControlKind::check_box, 200, 54, 120, 16, "ATF1508ASV"},
    {215, ControlKind::push_button, 40, 78, 120, 15, "Cancel"},
    {216, ControlKind::push_button, 240, 78, 120, 15, "Continue"},
};

// Twenty choices in two columns, named at run time (the ports found, the
// probe profiles, an OpenOCD configuration file); those not needed hidden.
#define VR_CHOICE(n, x, y) {241 + (n), ControlKind::check_box, (x), (y), 185, 14, " "}
inline constexpr Control connect_controls[] = {
    {240, ControlKind::static_lines, 10, 5, 400, 22,
     "How vrjtag reaches the chip: an adapter on a serial port, the Nano in probe mode, or a probe OpenOCD "
     "drives. Test tries it; Save writes jtag.ini."},
    VR_CHOICE(0, 10, 30), VR_CHOICE(1, 10, 44), VR_CHOICE(2, 10, 58), VR_CHOICE(3, 10, 72), VR_CHOICE(4, 10, 86),
    VR_CHOICE(5, 10, 100), VR_CHOICE(6, 10, 114), VR_CHOICE(7, 10, 128), VR_CHOICE(8, 10, 142), VR_CHOICE(9, 10, 156),
    VR_CHOICE(10, 215, 30), VR_CHOICE(11, 215, 44), VR_CHOICE(12, 215, 58), VR_CHOICE(13, 215, 72),
    VR_CHOICE(14, 215, 86), VR_CHOICE(15, 215, 100), VR_CHOICE(16, 215, 114), VR_CHOICE(17, 215, 128),
    VR_CHOICE(18, 215, 142), VR_CHOICE(19, 215, 156),
    {261, ControlKind::push_button, 10, 176, 200, 15, "OpenOCD configuration file..."},
    {262, ControlKind::static_lines, 10, 196, 400, 64, " "},
    {215, ControlKind::push_button, 10, 266, 120, 15, "Close"},
    {263, ControlKind::push_button, 150, 266, 120, 15, "Test"},
    {264, ControlKind::push_button, 290, 266, 120, 15, "Save"},
};
#undef VR_CHOICE

inline constexpr Control progress_controls[] = {
    {1008, ControlKind::static_one_line, 10, 5, 380, 12, " "},
    {1009, ControlKind::static_lines, 10, 20, 380, 38, " "},
    {1010, ControlKind::static_lines, 10, 63, 380, 22, " "},
    {1011, ControlKind::progress_bar, 10, 95, 380, 15, ""},
    {1012, ControlKind::push_button, 10, 120, 380, 15, "Cancel"},
};

inline constexpr DialogDesc dialogs[] = {
    {action_dialog, 400, 120, "Varnholme Research ATF1504/ATF1508 JTAG Programmer", action_controls},
    {progress_dialog, 400, 150, "Varnholme Research ATF1504/ATF1508 JTAG Programmer v04", progress_controls},
    {direct_dialog, 400, 156, "Varnholme Research ATF1504/ATF1508 JTAG Programmer", direct_controls},
    {part_dialog, 400, 108, "Varnholme Research ATF1504/ATF1508 JTAG Programmer", part_controls},
    {connect_dialog, 420, 290, "vrjtag connection", connect_controls},
};

// A dialog where the operator chooses (closing it ends the run).
constexpr bool is_choice_dialog(int32_t id) {
    return id == action_dialog || id == direct_dialog || id == part_dialog || id == connect_dialog;
}

// The most controls a dialog has: the backends keep that many.
inline constexpr std::size_t max_controls = 32;
static_assert([] {
    for (const DialogDesc& d : dialogs)
        if (d.controls.size() > max_controls) return false;
    return true;
}());

constexpr const DialogDesc* find_dialog(int32_t id) {
    for (const DialogDesc& d : dialogs)
        if (d.id == id) return &d;
    return nullptr;
}

}  // namespace vr
