#include "common/args.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vr {

bool Args::next() {
    if (at_ + 1 >= argc_) return false;
    arg_ = argv_[++at_];
    return true;
}

const char* Args::value() {
    if (at_ + 1 >= argc_ || !*argv_[at_ + 1]) return nullptr;
    return argv_[++at_];
}

bool Args::number(long long& out, long long low, long long high, int base) {
    const char* v = value();
    if (!v) return false;
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(v, &end, base);
    if (*end || errno || n < low || n > high) return false;
    out = n;
    return true;
}

int Args::fail(const std::string& what) const {
    std::fprintf(stderr, "%s: %s\n%s", program_, what.c_str(), usage_);
    return 2;
}

int Args::usage() const {
    std::fputs(usage_, stdout);
    return 0;
}

}  // namespace vr
