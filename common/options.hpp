// A program's command line read against one table: every option and action
// word the program knows, with its argument's name and its help. The same
// table prints --help, so the help cannot leave out or misname an option.
#pragma once

#include <array>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

namespace vr {

struct Option {
    // "--port" for an option; a word without the dash ("write") for an
    // action or command the program takes as an operand.
    std::string_view name;
    // The value's name ("PATH"); empty for a flag. For a word: what follows
    // it ("FILE").
    std::string_view argument;
    // The help, one paragraph: the printer wraps it.
    std::string_view help;
};

class Options {
public:
    // synopsis: the usage lines and what the program does, printed before
    // the table; notes: printed after it.
    Options(const char* program, std::span<const Option> table, const char* synopsis, const char* notes = "")
        : program_(program), table_(table), synopsis_(synopsis), notes_(notes) {}

    // Reads the command line: options (and their values) anywhere, every
    // other argument an operand. -1 to go on; otherwise the exit status:
    // 0 after --help or -h was printed, 2 after a usage error was reported.
    int read(int argc, char** argv);

    bool given(std::string_view name) const { return count(name) > 0; }
    int count(std::string_view name) const;
    // The option's value given last (nth: in order); nullptr when not given.
    const char* value(std::string_view name) const;
    const char* value(std::string_view name, int nth) const;
    // The value as a whole number from low to high in this base (0: C's
    // prefixes). True when the option was not given (out unchanged) or is
    // such a number; false when it is given and is not.
    bool number(std::string_view name, long long& out, long long low, long long high, int base = 10) const;

    int operand_count() const { return operands_; }
    const char* operand(int i) const { return i < operands_ ? operand_[i] : nullptr; }
    // Whether the word is one of the table's words (an action or command).
    bool word(std::string_view w) const;

    // "PROGRAM: WHAT" and the usage lines on standard error; returns 2, the
    // exit status of a usage error.
    int fail(const std::string& what) const;
    void help(std::FILE* out) const;

    static constexpr int max_values = 32;
    static constexpr int max_operands = 8;

private:
    int find(std::string_view name) const;

    const char* program_;
    std::span<const Option> table_;
    const char* synopsis_;
    const char* notes_;
    std::array<int, max_values> which_{};
    std::array<const char*, max_values> values_{};
    int given_ = 0;
    std::array<const char*, max_operands> operand_{};
    int operands_ = 0;
};

}  // namespace vr
