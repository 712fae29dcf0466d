// Fixed-length, blank-padded texts: the message buffer and the file name.
//
// Commands, replies and operator texts pass through 256-character message
// buffers; the chosen JEDEC file is held in a 128-character file name. Texts
// are put blank-padded; before one is shown it is cut at its first NUL and its
// trailing blanks are removed (the adapter error texts carry a NUL before
// their blanks).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace vr {

inline constexpr std::size_t msg_len = 256;
inline constexpr std::size_t name_len = 128;

using MsgBuf = std::array<char, msg_len>;
using FileName = std::array<char, name_len>;

// Fills the whole buffer with blanks.
template <std::size_t N>
constexpr void blank(std::array<char, N>& buf) {
    buf.fill(' ');
}

// Puts text at the start of buf and blank-pads the rest; a text longer than
// the buffer is cut to its length.
template <std::size_t N>
constexpr void put_text(std::array<char, N>& buf, std::string_view text) {
    std::size_t i = 0;
    for (; i < text.size() && i < N; ++i) buf[i] = text[i];
    for (; i < N; ++i) buf[i] = ' ';
}

// Keeps the first keep characters of buf and appends text after them,
// blank-padding the rest (the identification text is built this way).
template <std::size_t N>
constexpr void keep_and_append(std::array<char, N>& buf, std::size_t keep, std::string_view text) {
    std::size_t i = keep < N ? keep : N;
    for (std::size_t k = 0; k < text.size() && i < N; ++k, ++i) buf[i] = text[k];
    for (; i < N; ++i) buf[i] = ' ';
}

// An adapter error text: the text, one NUL, blanks to the end.
template <std::size_t N>
constexpr void put_error_text(std::array<char, N>& buf, std::string_view text) {
    put_text(buf, text);
    if (text.size() < N) buf[text.size()] = '\0';
}

// The text as shown: up to the first NUL, trailing blanks removed.
template <std::size_t N>
constexpr std::string_view shown(const std::array<char, N>& buf) {
    std::size_t n = 0;
    while (n < N && buf[n] != '\0') ++n;
    while (n > 0 && buf[n - 1] == ' ') --n;
    return std::string_view(buf.data(), n);
}

// The same rule for a text that is not held in a fixed buffer.
constexpr std::string_view shown(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && text[n] != '\0') ++n;
    while (n > 0 && text[n - 1] == ' ') --n;
    return text.substr(0, n);
}

// A file name as a NUL-terminated path for the C library: the text up to its
// last non-blank character. out must hold name_len + 1 characters.
inline const char* path_of(const FileName& name, std::array<char, name_len + 1>& out) {
    std::string_view s = shown(name);
    std::size_t i = 0;
    for (; i < s.size(); ++i) out[i] = s[i];
    out[i] = '\0';
    return out.data();
}

}  // namespace vr
