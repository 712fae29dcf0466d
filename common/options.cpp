#include "common/options.hpp"

#include <cerrno>
#include <cstdlib>

namespace vr {

namespace {

bool is_option(std::string_view a) { return a.size() > 1 && a[0] == '-'; }

// Writes text wrapped at 79 columns, every line after the first starting at
// column indent; the first continues from column at.
void wrap(std::FILE* out, std::string_view text, std::size_t at, std::size_t indent) {
    constexpr std::size_t width = 79;
    bool first_word = true;
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        const std::string_view w = text.substr(0, space);
        text = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
        if (w.empty()) continue;
        if (!first_word && at + 1 + w.size() > width) {
            std::fprintf(out, "\n%*s", static_cast<int>(indent), "");
            at = indent;
        } else if (!first_word) {
            std::fputc(' ', out);
            ++at;
        }
        std::fwrite(w.data(), 1, w.size(), out);
        at += w.size();
        first_word = false;
    }
    std::fputc('\n', out);
}

}  // namespace

int Options::find(std::string_view name) const {
    for (std::size_t i = 0; i < table_.size(); ++i)
        if (table_[i].name == name) return static_cast<int>(i);
    return -1;
}

bool Options::word(std::string_view w) const {
    const int i = find(w);
    return i >= 0 && !is_option(w);
}

int Options::read(int argc, char** argv) {
    given_ = operands_ = 0;
    for (int at = 1; at < argc; ++at) {
        const std::string_view a = argv[at];
        if (a == "--help" || a == "-h") {
            help(stdout);
            return 0;
        }
        if (!is_option(a)) {
            // A file whose name starts with '-' is given as ./-NAME: a
            // misspelt option never becomes a file name.
            if (operands_ == max_operands) return fail("too many arguments");
            operand_[operands_++] = argv[at];
            continue;
        }
        const int i = find(a);
        if (i < 0) return fail("unknown option " + std::string(a));
        if (given_ == max_values) return fail("too many options");
        const char* v = "";
        if (!table_[i].argument.empty()) {
            if (at + 1 >= argc || !*argv[at + 1]) return fail(std::string(a) + " needs " + std::string(table_[i].argument));
            v = argv[++at];
        }
        which_[given_] = i;
        values_[given_++] = v;
    }
    return -1;
}

int Options::count(std::string_view name) const {
    const int i = find(name);
    int n = 0;
    for (int k = 0; k < given_; ++k) n += which_[k] == i && i >= 0;
    return n;
}

const char* Options::value(std::string_view name, int nth) const {
    const int i = find(name);
    for (int k = 0; k < given_ && i >= 0; ++k)
        if (which_[k] == i && nth-- == 0) return values_[k];
    return nullptr;
}

const char* Options::value(std::string_view name) const {
    const int n = count(name);
    return n ? value(name, n - 1) : nullptr;
}

bool Options::number(std::string_view name, long long& out, long long low, long long high, int base) const {
    const char* v = value(name);
    if (!v) return true;
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(v, &end, base);
    if (end == v || *end || errno || n < low || n > high) return false;
    out = n;
    return true;
}

int Options::fail(const std::string& what) const {
    std::fprintf(stderr, "%s: %s\n", program_, what.c_str());
    // The usage lines only; --help gives the rest.
    std::string_view s = synopsis_;
    for (bool usage = true; usage && !s.empty();) {
        const std::size_t nl = s.find('\n');
        const std::string_view line = s.substr(0, nl == std::string_view::npos ? s.size() : nl + 1);
        usage = line.starts_with("usage:") || line.starts_with(" ");
        if (usage) std::fwrite(line.data(), 1, line.size(), stderr);
        s.remove_prefix(line.size());
    }
    std::fprintf(stderr, "(%s --help tells more)\n", program_);
    return 2;
}

void Options::help(std::FILE* out) const {
    std::fputs(synopsis_, out);
    std::fputc('\n', out);
    // The help column: past the longest name and argument that fits in 24.
    std::size_t column = 0;
    for (const Option& o : table_) {
        const std::size_t w = 2 + o.name.size() + (o.argument.empty() ? 0 : 1 + o.argument.size()) + 2;
        if (w <= 24 && w > column) column = w;
    }
    for (const Option& o : table_) {
        std::fprintf(out, "  %.*s", static_cast<int>(o.name.size()), o.name.data());
        std::size_t at = 2 + o.name.size();
        if (!o.argument.empty()) {
            std::fprintf(out, " %.*s", static_cast<int>(o.argument.size()), o.argument.data());
            at += 1 + o.argument.size();
        }
        const std::size_t pad = at + 2 <= column ? column - at : 2;
        std::fprintf(out, "%*s", static_cast<int>(pad), "");
        wrap(out, o.help, at + pad, column);
    }
    std::fprintf(out, "  %-*s", static_cast<int>(column > 2 ? column - 2 : 0), "--help");
    std::fputs("this text\n", out);
    if (*notes_) {
        std::fputc('\n', out);
        std::fputs(notes_, out);
    }
}

}  // namespace vr
