#include <gtest/gtest.h>

#include "common/text.hpp"

using namespace vr;

TEST(Text, PutPadsWithBlanksAndCutsAtTheBufferLength) {
    MsgBuf b;
    b.fill('x');
    put_text(b, "ok, done");
    EXPECT_EQ(std::string(b.data(), 8), "ok, done");
    EXPECT_EQ(b[8], ' ');
    EXPECT_EQ(b[255], ' ');

    std::array<char, 4> small;
    put_text(small, "abcdef");
    EXPECT_EQ(std::string(small.data(), 4), "abcd");
}

TEST(Text, ShownCutsAtNulAndDropsTrailingBlanks) {
    struct Case {
        const char* text;
        std::size_t len;
        const char* expected;
    } cases[] = {
        {"Cancel   ", 9, "Cancel"},
        {"   ", 3, ""},
        {"read fuse map error\0   junk", 27, "read fuse map error"},
        {"two  \0", 6, "two"},
        {" lead", 5, " lead"},
    };
    for (const Case& c : cases) {
        MsgBuf b;
        put_text(b, std::string_view(c.text, c.len));
        EXPECT_EQ(shown(b), c.expected) << c.text;
    }
    MsgBuf full;
    full.fill('z');
    EXPECT_EQ(shown(full).size(), 256u);
}

TEST(Text, KeepAndAppendStartsAtTheFixedColumn) {
    MsgBuf b;
    put_text(b, "JEDEC file type is ATF1508 and more");
    keep_and_append(b, 26, "\r\nX");
    EXPECT_EQ(shown(b), "JEDEC file type is ATF1508\r\nX");
    // Appending past the end is cut, never written beyond the buffer.
    keep_and_append(b, 254, "abc");
    EXPECT_EQ(b[254], 'a');
    EXPECT_EQ(b[255], 'b');
}

TEST(Text, ErrorTextCarriesNulBeforeItsBlanks) {
    MsgBuf b;
    put_error_text(b, "read fuse map error - format, \"r\" missing");
    EXPECT_EQ(b[41], '\0');
    EXPECT_EQ(b[42], ' ');
    EXPECT_EQ(shown(b), "read fuse map error - format, \"r\" missing");
}

TEST(Text, PathOfTakesTheNameUpToItsLastNonBlank) {
    FileName n;
    put_text(n, "/tmp/a b.jed");
    std::array<char, name_len + 1> p{};
    EXPECT_STREQ(path_of(n, p), "/tmp/a b.jed");
    FileName full;
    full.fill('a');
    EXPECT_EQ(std::string(path_of(full, p)).size(), 128u);
}
