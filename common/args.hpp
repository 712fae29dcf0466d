// A program's command line, read an argument at a time, with the usage
// errors every program reports the same way.
#pragma once

#include <string>

namespace vr {

class Args {
public:
    Args(int argc, char** argv, const char* program, const char* usage)
        : argc_(argc), argv_(argv), program_(program), usage_(usage) {}

    // To the next argument; false after the last.
    bool next();
    const std::string& arg() const { return arg_; }
    const char* current() const { return argv_[at_]; }
    bool is(const char* option) const { return arg_ == option; }
    bool help() const { return is("--help") || is("-h"); }
    // An argument that is not an option.
    bool operand() const { return !arg_.empty() && arg_[0] != '-'; }

    // The option's value, the argument after it (taken); nullptr when there
    // is none or it is empty.
    const char* value();
    // The value as a whole number from low to high in this base (0: C's
    // prefixes); false when it is missing or not wholly such a number.
    bool number(long long& out, long long low, long long high, int base = 10);

    // "PROGRAM: WHAT" and the usage on standard error; returns 2, the exit
    // status of a usage error.
    int fail(const std::string& what) const;
    // The usage on standard output; returns 0.
    int usage() const;

private:
    int argc_;
    char** argv_;
    const char* program_;
    const char* usage_;
    int at_ = 0;
    std::string arg_;
};

}  // namespace vr
