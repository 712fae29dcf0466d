// The command line read against a program's table, and the help printed
// from it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/options.hpp"

namespace {

constexpr vr::Option table[] = {
    {"write", "FILE", "write FILE to the chip"},
    {"--port", "PATH", "the port"},
    {"--probe", "PROBE", "a probe (repeatable)"},
    {"--speed", "KHZ", "the clock"},
    {"--force", "", "replace an existing file"},
    {"--a-very-long-option-name", "WITH-ARGUMENT",
     "a help long enough to be wrapped over several lines of the help text, each indented to the column"},
};

struct Outcome {
    int status;
    std::string err;
};

// Reads args (after the program's name) into o; the status and standard error.
Outcome read(vr::Options& o, std::vector<const char*> args) {
    args.insert(args.begin(), "prog");
    std::fflush(stderr);
    testing::internal::CaptureStderr();
    const int status = o.read(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    return {status, testing::internal::GetCapturedStderr()};
}

TEST(Options, ReadsOptionsAnywhereAndKeepsOperandsInOrder) {
    vr::Options o("prog", table, "usage: prog ...\n");
    const Outcome r = read(o, {"write", "--probe", "a", "f.jed", "--force", "--probe", "b", "--port", "/dev/x"});
    ASSERT_EQ(r.status, -1) << r.err;
    ASSERT_EQ(o.operand_count(), 2);
    EXPECT_STREQ(o.operand(0), "write");
    EXPECT_STREQ(o.operand(1), "f.jed");
    EXPECT_EQ(o.operand(2), nullptr);
    EXPECT_TRUE(o.given("--force"));
    EXPECT_FALSE(o.given("--speed"));
    ASSERT_EQ(o.count("--probe"), 2);
    EXPECT_STREQ(o.value("--probe", 0), "a");
    EXPECT_STREQ(o.value("--probe", 1), "b");
    EXPECT_STREQ(o.value("--probe"), "b");
    EXPECT_STREQ(o.value("--port"), "/dev/x");
    EXPECT_TRUE(o.word("write"));
    EXPECT_FALSE(o.word("--port"));
    EXPECT_FALSE(o.word("erase"));
}

TEST(Options, UsageErrors) {
    const struct {
        std::vector<const char*> args;
        const char* message;
    } cases[] = {
        {{"--forse", "x"}, "unknown option --forse"},  // never taken as a file name
        {{"write", "--port"}, "--port needs PATH"},
        {{"--port", "", "write"}, "--port needs PATH"},
        {{"1", "2", "3", "4", "5", "6", "7", "8", "9"}, "too many arguments"},
    };
    for (const auto& c : cases) {
        vr::Options o("prog", table, "usage: prog write FILE\n       prog --port PATH\nWhat it does.\n");
        const Outcome r = read(o, c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.err.find(std::string("prog: ") + c.message), std::string::npos) << r.err;
        // The usage lines, not the description.
        EXPECT_NE(r.err.find("       prog --port PATH\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("What it does"), std::string::npos) << r.err;
    }
}

TEST(Options, Numbers) {
    const struct {
        const char* value;
        bool ok;
        long long out;
    } cases[] = {{"10000", true, 10000}, {"1", true, 1},        {"0", false, 7},  {"10001", false, 7},
                 {"12k", false, 7},      {"0x10", false, 7},    {"-5", false, 7}, {"99999999999999999999", false, 7}};
    for (const auto& c : cases) {
        vr::Options o("prog", table, "usage: prog\n");
        ASSERT_EQ(read(o, {"--speed", c.value}).status, -1);
        long long n = 7;
        EXPECT_EQ(o.number("--speed", n, 1, 10000), c.ok) << c.value;
        EXPECT_EQ(n, c.out) << c.value;
    }
    vr::Options o("prog", table, "usage: prog\n");
    ASSERT_EQ(read(o, {"--speed", "ff"}).status, -1);
    long long n = 7;
    EXPECT_TRUE(o.number("--port", n, 0, 1)) << "an option not given is no error";
    EXPECT_EQ(n, 7);
    EXPECT_TRUE(o.number("--speed", n, 0, 0xFFFF, 16));
    EXPECT_EQ(n, 0xFF);
}

TEST(Options, HelpListsEveryEntryWithinTheWidth) {
    vr::Options o("prog", table, "usage: prog\n", "Notes at the end.\n");
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    o.help(f);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    std::fclose(f);
    for (const vr::Option& e : table) {
        std::string head = "  " + std::string(e.name);
        if (!e.argument.empty()) head += " " + std::string(e.argument);
        EXPECT_NE(text.find(head), std::string::npos) << head;
    }
    EXPECT_NE(text.find("  --help"), std::string::npos);
    EXPECT_NE(text.find("Notes at the end.\n"), std::string::npos);
    for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        EXPECT_LE(nl - at, 79u) << text.substr(at, nl - at);
    // The wrapped help's words all arrive, in order.
    std::string flat;
    for (char c : text) flat += c == '\n' ? ' ' : c;
    for (std::size_t p; (p = flat.find("  ")) != std::string::npos;) flat.erase(p, 1);
    EXPECT_NE(flat.find("a help long enough to be wrapped over several lines of the help text, each indented to the column"),
              std::string::npos);
}

}  // namespace
