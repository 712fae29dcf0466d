#include "link/serial.hpp"

#include <chrono>
#include <thread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/port.hpp"

namespace vr {
namespace {

constexpr std::string_view not_found = "file \"<root>\\varnholme\\jtag.ini\" was not found.";
constexpr std::string_view open_failed =
    "Comport Open Failed\r\nEdit file \"<root>\\varnholme\\jtag.ini\" for correct comport.";

// The port name: the first six characters of the first line (a CR before the
// line feed is not part of the line), blank-padded. False when the file cannot
// be read or has no first line.
bool read_port_name(const char* path, std::array<char, 6>& name) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    name.fill(' ');
    int c = std::fgetc(f);
    const bool has_line = c != EOF;
    std::array<char, 7> line{};
    std::size_t n = 0;
    for (; c != EOF && c != '\n' && n < line.size(); c = std::fgetc(f)) line[n++] = static_cast<char>(c);
    const bool read_failed = std::ferror(f) != 0;
    std::fclose(f);
    if (!has_line || read_failed) return false;
    if (n < line.size() && n > 0 && line[n - 1] == '\r') --n;  // CR LF line end
    for (std::size_t i = 0; i < n && i < name.size(); ++i) name[i] = line[i];
    return true;
}

}  // namespace

void config_path(MsgBuf& path) {
    const char* root = std::getenv("SystemRoot");
    MsgBuf value;
    put_text(value, root ? root : "");
    const std::string_view v = shown(value);
    if (v.size() <= 2) {
        put_text(path, "c:\\varnholme\\jtag.ini");
        return;
    }
    put_text(path, v.substr(0, 2));
    keep_and_append(path, 2, "\\varnholme\\jtag.ini");
}

namespace {
std::string port_override;
}  // namespace

void use_port(std::string_view path) { port_override = std::string(path); }

namespace {
int32_t boot_wait_ms = 0;
std::chrono::steady_clock::time_point boot_until;
bool booting = false;  // the first byte since the open is still to wait
}  // namespace

void set_boot_wait(int32_t milliseconds) { boot_wait_ms = std::max<int32_t>(0, milliseconds); }

std::string config_file() {
    MsgBuf path;
    config_path(path);
    std::array<char, 1024> local{};
    return os::local_config_path(shown(path), local.data(), local.size()) ? std::string(local.data()) : std::string();
}

bool config_lines(std::vector<std::string>& lines) {
    lines.clear();
    if (!port_override.empty()) return false;
    const std::string local = config_file();
    if (local.empty()) return false;
    std::FILE* f = std::fopen(local.c_str(), "rb");
    if (!f) return false;
    std::string line;
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        line.clear();
        if (lines.size() > 64) break;  // a configuration, not a data file
    }
    if (!line.empty()) lines.push_back(line);
    const bool read_failed = std::ferror(f) != 0;
    std::fclose(f);
    return !read_failed;
}

void initcom(MsgBuf& buf, int32_t& status) {
    if (!port_override.empty()) {
        put_text(buf, open_failed);
        status = 1;
        if (!os::open_device(port_override.c_str())) return;
        put_text(buf, "ok, done");
        status = 0;
        booting = boot_wait_ms > 0;
        boot_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(boot_wait_ms);
        return;
    }
    const std::string local = config_file();
    std::array<char, 6> name{};
    if (local.empty() || !read_port_name(local.c_str(), name)) {
        put_text(buf, not_found);
        status = 1;
        return;
    }
    put_text(buf, open_failed);
    status = 1;
    if (!os::open(shown(std::string_view(name.data(), name.size())))) return;
    put_text(buf, "ok, done");
    status = 0;
    booting = boot_wait_ms > 0;
    boot_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(boot_wait_ms);
}

void com_w(const MsgBuf& buf, int32_t count) {
    if (booting) {
        std::this_thread::sleep_until(boot_until);
        booting = false;
    }
    os::write(buf.data(), static_cast<std::size_t>(std::clamp<int32_t>(count, 0, msg_len)));
}

void com_r(MsgBuf& buf, int32_t limit, int32_t& err, int32_t retries) {
    err = 0;
    limit = std::clamp<int32_t>(limit, 1, msg_len);
    int32_t stored = 0;
    for (;;) {
        int32_t misses = 0;
        unsigned char c = 0;
        for (;;) {
            c = 0;
            const int r = os::read_byte(c);
            if (c != 0) break;
            ++misses;
            if (r < 0 || misses >= retries) {
                buf[0] = '\0';
                err = 1;
                return;
            }
        }
        buf[stored++] = static_cast<char>(c);
        if (stored == limit || c == '\r' || c == '\n') return;
    }
}

void com_f() {
    unsigned char c;
    do {
        c = 0;
        os::read_byte(c);
    } while (c != 0);
}

void comclose() { os::close(); }

}  // namespace vr
