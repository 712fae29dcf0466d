// The Windows backend: the dialog manager's own dialogs, built in memory from
// the dialog tables (dialog units, "MS Sans Serif" bold 12 points), shown
// modeless over a hidden main window. A dialog's close box or Escape gives a
// button message with id 2; a close request to the main window is message
// type 9.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "ui/backend.hpp"
#include "ui/message_queue.hpp"
#include "ui/ui.hpp"

namespace vr::ui::backend {
namespace {

HWND main_window = nullptr;
HWND dialog = nullptr;
const DialogDesc* dialog_desc = nullptr;

MessageQueue queue;

void enqueue(int32_t type, int32_t value1) { queue.push(type, value1); }

const Control* control_of(int32_t id) {
    if (!dialog_desc) return nullptr;
    for (const Control& c : dialog_desc->controls)
        if (c.id == id) return &c;
    return nullptr;
}

// The in-memory dialog template (DLGTEMPLATEEX), built word by word.
class Template {
public:
    const void* data() const { return words_.data(); }
    void word(WORD w) { words_[n_++] = w; }
    void dword(DWORD d) {
        word(LOWORD(d));
        word(HIWORD(d));
    }
    void text(const char* s) {
        for (; *s; ++s) word(static_cast<unsigned char>(*s));
        word(0);
    }
    void align() {
        if (n_ % 2) word(0);
    }

private:
    alignas(4) std::array<WORD, 4096> words_{};
    std::size_t n_ = 0;
};

Template tmpl;

void build_template(const DialogDesc& d) {
    tmpl = Template{};
    tmpl.word(1);       // version
    tmpl.word(0xFFFF);  // extended template
    tmpl.dword(0);      // help id
    tmpl.dword(0);      // extended style
    tmpl.dword(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN);
    tmpl.word(static_cast<WORD>(d.controls.size()));
    tmpl.word(0);
    tmpl.word(0);
    tmpl.word(static_cast<WORD>(d.cx));
    tmpl.word(static_cast<WORD>(d.cy));
    tmpl.word(0);  // no menu
    tmpl.word(0);  // the standard dialog class
    tmpl.text(d.caption);
    tmpl.word(12);       // points
    tmpl.word(FW_BOLD);  // weight
    tmpl.word(0);        // not italic, default character set
    tmpl.text("MS Sans Serif");
    for (const Control& c : d.controls) {
        tmpl.align();
        tmpl.dword(0);  // help id
        DWORD style = WS_CHILD | WS_VISIBLE;
        DWORD ex = 0;
        WORD atom = 0;
        const char* cls = nullptr;
        switch (c.kind) {
        case ControlKind::static_one_line:
        case ControlKind::static_lines:
            style |= SS_CENTER | SS_SUNKEN;
            atom = 0x0082;
            break;
        case ControlKind::check_box:
            style |= BS_AUTOCHECKBOX | WS_TABSTOP;
            atom = 0x0080;
            break;
        case ControlKind::push_button:
            style |= BS_PUSHBUTTON | WS_TABSTOP;
            atom = 0x0080;
            break;
        case ControlKind::progress_bar:
            style |= WS_BORDER;
            cls = PROGRESS_CLASSA;
            break;
        }
        tmpl.dword(ex);
        tmpl.dword(style);
        tmpl.word(static_cast<WORD>(c.x));
        tmpl.word(static_cast<WORD>(c.y));
        tmpl.word(static_cast<WORD>(c.cx));
        tmpl.word(static_cast<WORD>(c.cy));
        tmpl.dword(static_cast<DWORD>(c.id));
        if (cls) {
            tmpl.text(cls);
        } else {
            tmpl.word(0xFFFF);
            tmpl.word(atom);
        }
        tmpl.text(c.text);
        tmpl.word(0);  // no creation data
    }
}

INT_PTR CALLBACK dialog_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM) {
    switch (msg) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND: {
        if (HIWORD(wp) != BN_CLICKED) return FALSE;
        const int32_t id = LOWORD(wp);
        const Control* c = control_of(id);
        if (c && c->kind == ControlKind::check_box) {
            // The box has toggled itself; the model follows.
            const int32_t shown_state = IsDlgButtonChecked(hwnd, id) == BST_CHECKED ? 1 : 0;
            int32_t model_state = 0;
            WDialogGetCheckBox(id, model_state);
            if (shown_state != model_state) ui::operator_toggled(id);
        } else {
            enqueue(msg_button, id);  // a push button, or IDCANCEL (2) from Escape and the close box
        }
        return TRUE;
    }
    default:
        return FALSE;
    }
}

LRESULT CALLBACK main_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CLOSE) {
        enqueue(msg_close, -1);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

HWND owner() { return dialog ? dialog : main_window; }

// Paints the dialog and its controls at once: during a transfer nothing
// pumps the message queue, so waiting for WM_PAINT would show nothing.
void repaint() {
    if (dialog) RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void pump() {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (dialog && IsDialogMessageA(dialog, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

}  // namespace

void init() {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    WNDCLASSA wc{};
    wc.lpfnWndProc = main_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "vrjtag_main";
    RegisterClassA(&wc);
}

void window_open(int32_t, std::string_view title) {
    const std::string t(title);
    main_window = CreateWindowA("vrjtag_main", t.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 200, 100,
                                nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    // Never shown: it only owns the dialogs.
}

void dialog_load(const DialogDesc& d) {
    build_template(d);
    dialog_desc = &d;
    dialog = CreateDialogIndirectParamA(GetModuleHandleA(nullptr), static_cast<LPCDLGTEMPLATEA>(tmpl.data()),
                                        main_window, dialog_proc, 0);
    if (dialog) ShowWindow(dialog, SW_HIDE);
}

void dialog_show(int32_t) {
    if (!dialog) return;
    if (main_window) EnableWindow(main_window, FALSE);
    ShowWindow(dialog, SW_SHOW);
    repaint();
}

void dialog_unload() {
    if (!dialog) return;
    DestroyWindow(dialog);
    dialog = nullptr;
    dialog_desc = nullptr;
    if (main_window) EnableWindow(main_window, TRUE);
    pump();
}

void put_string(int32_t field, std::string_view text) {
    if (!dialog) return;
    const std::string t(text);
    SetDlgItemTextA(dialog, field, t.c_str());
    repaint();
}

void check_changed(int32_t field, int32_t state) {
    const Control* c = control_of(field);
    if (dialog && c && c->kind == ControlKind::check_box) CheckDlgButton(dialog, field, state ? BST_CHECKED : BST_UNCHECKED);
}

void field_state_changed(int32_t field, int32_t state) {
    HWND w = dialog ? GetDlgItem(dialog, field) : nullptr;
    if (!w) return;
    if (state == 3) {
        EnableWindow(w, FALSE);
        ShowWindow(w, SW_HIDE);
    } else if (state == 1) {
        EnableWindow(w, TRUE);
        ShowWindow(w, SW_SHOW);
    }
    repaint();
}

void progress_range(int32_t field, int32_t minimum, int32_t maximum) {
    if (dialog) SendDlgItemMessageA(dialog, field, PBM_SETRANGE32, static_cast<WPARAM>(minimum), maximum);
}

void progress_position(int32_t field, int32_t position) {
    if (!dialog) return;
    SendDlgItemMessageA(dialog, field, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    if (HWND bar = GetDlgItem(dialog, field)) RedrawWindow(bar, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void peek(int32_t& type, int32_t& value1) {
    if (queue.empty()) pump();
    queue.pop(type, value1);
}

void idle() {
    if (queue.empty()) MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
}

bool exact_names() { return false; }

bool choose_file(Selection& sel, char* path, std::size_t size) {
    // The filter: description NUL pattern NUL NUL.
    std::array<char, 256> filter{};
    const int n = std::snprintf(filter.data(), filter.size() - 2, "%.*s", static_cast<int>(sel.description.size()),
                                sel.description.data());
    if (n > 0 && static_cast<std::size_t>(n) + sel.pattern.size() + 3 < filter.size())
        std::memcpy(filter.data() + n + 1, sel.pattern.data(), sel.pattern.size());
    const std::string title(sel.title);

    std::array<char, MAX_PATH> file{};
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner();
    ofn.lpstrFilter = filter.data();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrTitle = title.c_str();
    ofn.Flags = OFN_HIDEREADONLY | OFN_EXPLORER;
    if (sel.options & 2) ofn.Flags |= sel.save_type ? OFN_OVERWRITEPROMPT : OFN_CREATEPROMPT;
    else if (!sel.save_type) ofn.Flags |= OFN_FILEMUSTEXIST;
    if (!(sel.options & 4)) ofn.Flags |= OFN_PATHMUSTEXIST;
    if (!(sel.options & 8)) ofn.Flags |= OFN_NOCHANGEDIR;
    if (sel.options & 32) ofn.lpstrDefExt = "jed";
    const BOOL ok = sel.save_type ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
    if (!ok) return false;
    // The dialog put the replace / create question itself (OFN_*PROMPT).
    sel.chooser_asked = (sel.options & 2) != 0;
    std::snprintf(path, size, "%s", file.data());
    return true;
}

bool ask(std::string_view question) {
    const std::string q(question);
    return MessageBoxA(owner(), q.c_str(), "Varnholme Research JTAG Tool", MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void notice(std::string_view text) {
    const std::string t(text);
    MessageBoxA(owner(), t.c_str(), "Varnholme Research JTAG Tool", MB_OK | MB_ICONWARNING);
}

void selection_result(bool, std::string_view) {}

void message_box(std::string_view text, std::string_view title) {
    const std::string t(text), ti(title);
    MessageBoxA(owner(), t.c_str(), ti.c_str(), MB_OK | MB_ICONINFORMATION);
}

void close() {
    dialog_unload();
    if (main_window) {
        DestroyWindow(main_window);
        main_window = nullptr;
    }
    pump();
}

}  // namespace vr::ui::backend
