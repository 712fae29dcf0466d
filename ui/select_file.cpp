// The file selection's options, applied the same way whatever toolkit shows
// the chooser: bit 1 save-type, bit 2 ask (replace / create), bit 4 the folder
// need not exist, bit 8 the current directory follows, bit 32 the filter's
// extension is added to a name typed without one. A path longer than the
// 128-character file name is refused rather than cut.
#include <array>
#include <filesystem>
#include <system_error>

#include "ui/backend.hpp"
#include "ui/ui.hpp"

namespace vr {

void set_selection_status(int32_t status);

namespace {

namespace fs = std::filesystem;

// The filter is a list of items, each ended by its last character.
void parse_filter(std::string_view filter, std::string_view& description, std::string_view& pattern) {
    description = pattern = {};
    if (filter.empty()) return;
    const char end = filter.back();
    const std::size_t a = filter.find(end);
    description = filter.substr(0, a);
    if (a + 1 < filter.size()) {
        const std::size_t b = filter.find(end, a + 1);
        pattern = filter.substr(a + 1, b - a - 1);
    }
}

void refuse(std::string_view why) {
    if (!why.empty()) ui::backend::notice(why);
    ui::backend::selection_result(false, {});
    set_selection_status(0);
}

}  // namespace

void WSelectFile(std::string_view filter, int32_t options, FileName& name, std::string_view title) {
    const std::string_view filter_text = shown(filter);
    ui::backend::Selection sel{};
    sel.save_type = (options & 1) != 0;
    sel.title = shown(title);
    sel.filter_text = filter_text;
    sel.options = options;
    parse_filter(filter_text, sel.description, sel.pattern);

    std::array<char, 4096> typed{};
    if (!ui::backend::choose_file(sel, typed.data(), typed.size()) || typed[0] == '\0') {
        refuse({});
        return;
    }

    std::error_code ec;
    fs::path p(typed.data());
    const bool exact = ui::backend::exact_names();
    if (!exact) {
        if (p.is_relative()) p = fs::current_path(ec) / p;
        p = p.lexically_normal();
        // The first pattern's extension ("*.jed;*.svf" gives ".jed").
        const std::string_view first = sel.pattern.substr(0, sel.pattern.find(';'));
        if ((options & 32) && !p.has_extension() && first.size() > 1 && first[0] == '*')
            p += std::string(first.substr(1));
    }
    const fs::path folder = p.has_parent_path() ? p.parent_path() : fs::path(".");
    const std::string full = p.string();

    if (!(options & 4) && !fs::is_directory(folder, ec)) {
        refuse("The folder \"" + folder.string() + "\" does not exist.");
        return;
    }
    const bool exists = fs::exists(p, ec);
    if (sel.save_type && (options & 2) && exists) {
        if (!sel.chooser_asked && !ui::backend::ask("\"" + full + "\" already exists.\r\nDo you want to replace it?")) {
            refuse({});
            return;
        }
    }
    if (!sel.save_type && !exists) {
        if (!(options & 2)) {
            refuse("\"" + full + "\" was not found.");
            return;
        }
        if (!sel.chooser_asked && !ui::backend::ask("\"" + full + "\" does not exist.\r\nDo you want to create it?")) {
            refuse({});
            return;
        }
    }
    if (full.size() > name_len) {
        refuse("The path \"" + full + "\" is longer than " + std::to_string(name_len) +
               " characters; choose a shorter one.");
        return;
    }
    if ((options & 8) && !exact && fs::is_directory(folder, ec)) fs::current_path(folder, ec);

    put_text(name, full);
    ui::backend::selection_result(true, full);
    set_selection_status(1);
}

}  // namespace vr
