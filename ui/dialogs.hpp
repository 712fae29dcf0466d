// The dialogs, control by control, in dialog units.
#pragma once

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

inline constexpr Control action_controls[] = {
    {210, ControlKind::static_one_line, 10, 5, 390, 12, "Choose Action and File"},
    {211, ControlKind::check_box, 40, 30, 240, 16, "WRITE from a local file, without burning security fuse"},
    {212, ControlKind::check_box, 40, 42, 240, 16, "WRITE from a local file, and burn security fuse"},
    {213, ControlKind::check_box, 40, 54, 240, 16, "READ to a local file"},
    {214, ControlKind::check_box, 40, 66, 240, 16, "VERIFY with a local file"},
    {215, ControlKind::push_button, 40, 90, 120, 15, "Cancel"},
    {216, ControlKind::push_button, 240, 90, 120, 15, "Continue"},
};

inline constexpr Control direct_controls[] = {
    {210, ControlKind::static_one_line, 10, 5, 390, 12, "Choose Action and File"},
    {211, ControlKind::check_box, 40, 30, 240, 16, "WRITE from a local file, without burning security fuse"},
    {212, ControlKind::check_box, 40, 42, 240, 16, "WRITE from a local file, and burn security fuse"},
    {213, ControlKind::check_box, 40, 54, 240, 16, "READ to a local file"},
    {214, ControlKind::check_box, 40, 66, 240, 16, "VERIFY with a local file"},
    {217, ControlKind::check_box, 40, 78, 240, 16, "ERASE the chip"},
    {218, ControlKind::check_box, 40, 90, 240, 16, "BLANK CHECK the chip"},
    {219, ControlKind::check_box, 40, 102, 240, 16, "RECOVER a chip whose JTAG pins are off"},
    {215, ControlKind::push_button, 40, 126, 120, 15, "Cancel"},
    {216, ControlKind::push_button, 240, 126, 120, 15, "Continue"},
};

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
};

// A dialog where the operator chooses (closing it ends the run).
constexpr bool is_choice_dialog(int32_t id) { return id == action_dialog || id == direct_dialog || id == part_dialog; }

constexpr const DialogDesc* find_dialog(int32_t id) {
    for (const DialogDesc& d : dialogs)
        if (d.id == id) return &d;
    return nullptr;
}

}  // namespace vr
