// The shared test helpers that need no serial line: folders, files, maps.
#include <filesystem>
#include <vector>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/helpers.hpp"

namespace vt {

namespace {

// The folders made by temp_dir, removed when the program ends.
struct TempDirs {
    std::vector<std::filesystem::path> dirs;
    ~TempDirs() {
        std::error_code ec;
        for (const auto& d : dirs) std::filesystem::remove_all(d, ec);
    }
};

TempDirs& made() {
    static TempDirs t;
    return t;
}

}  // namespace

std::string temp_dir() {
    namespace fs = std::filesystem;
    static std::mt19937_64 gen(std::random_device{}());
    TempDirs& dirs = made();  // constructed before first use, so destroyed after the tests
    std::error_code ec;
    for (;;) {
        const fs::path d = fs::temp_directory_path(ec) / ("vrjtag-test-" + std::to_string(gen() % 1000000000));
        if (fs::create_directory(d, ec)) {
            dirs.dirs.push_back(d);
            return d.generic_string();
        }
        if (ec) return fs::temp_directory_path(ec).generic_string();
    }
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

std::string data(const std::string& name) { return std::string(VR_TEST_DATA) + "/" + name; }

vr::FileName file_name(const std::string& path) {
    vr::FileName n;
    vr::put_text(n, path);
    return n;
}

void random_map(vr::FuseMap& map, int32_t code, unsigned s) {
    std::mt19937 gen(s);
    map.fill(0);
    const vr::Device& d = vr::device_of(code);
    for (int32_t i = 0; i < d.fuse_count; ++i) map[i] = static_cast<int8_t>(gen() & 1);
    vr::clear_reserved(map, code);
}

}  // namespace vt
