// vrjtag-jed: checks a JEDEC file the way the programmer reads it, and
// rewrites a file the way the programmer writes one.
#include <cstdio>
#include <cstring>

#include "fusemap/jedec.hpp"

namespace {

const char usage[] =
    "usage: vrjtag-jed inspect FILE\n"
    "       vrjtag-jed rewrite IN OUT\n"
    "       vrjtag-jed diff A B\n"
    "inspect  prints the device, the fuse count, the file's C field and the computed\n"
    "         checksum, the fuses at 0 and at 1, and whether the programmer would\n"
    "         accept the file (exit 0 accepted, 1 refused).\n"
    "rewrite  reads IN and writes OUT exactly as the programmer writes a chip it has\n"
    "         read (exit 1 when IN is refused or OUT cannot be written).\n"
    "diff     lists the fuse numbers whose values differ between two accepted files of\n"
    "         the same device, one per line with both values (exit 0 when there are\n"
    "         none, 1 when there are, 2 when a file is refused or the devices differ).\n";

const char* reason(vr::JedecResult r, int32_t code) {
    if (r == vr::JedecResult::read_error) return "JEDEC file read error";
    if (code != vr::code_1504 && code != vr::code_1508) return "File type unknown";
    if (r == vr::JedecResult::format_error) return "JEDEC file format error";
    if (r == vr::JedecResult::checksum_error) return "JEDEC file checksum error";
    return nullptr;
}

vr::FuseMap map, second;

vr::JedecResult load(const char* path, int32_t& code, vr::JedecInfo& info) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return vr::JedecResult::read_error;
    const vr::JedecResult r = vr::read_jedec(f, map, code, info);
    std::fclose(f);
    return r;
}

int inspect(const char* path) {
    int32_t code = 0;
    vr::JedecInfo info;
    const vr::JedecResult r = load(path, code, info);
    const char* why = reason(r, code);
    const bool known = code == vr::code_1504 || code == vr::code_1508;
    const vr::Device& d = vr::device_of(code);
    std::printf("device: %s\n", known ? d.name : "unknown");
    if (known) {
        int32_t zeros = 0, ones = 0;
        for (int32_t i = 0; i < d.fuse_count; ++i) (map[i] == 1 ? ones : zeros)++;
        std::printf("fuses: %d\n", d.fuse_count);
        if (info.has_checksum)
            std::printf("file checksum: %04X\n", info.file_checksum);
        else
            std::printf("file checksum: none\n");
        std::printf("computed checksum: %04X\n", info.computed_checksum);
        std::printf("fuses at 0: %d\nfuses at 1: %d\n", zeros, ones);
    }
    if (why) {
        std::printf("refused: %s\n", why);
        return 1;
    }
    std::printf("accepted\n");
    return 0;
}

int rewrite(const char* in, const char* out) {
    int32_t code = 0;
    vr::JedecInfo info;
    const vr::JedecResult r = load(in, code, info);
    const char* why = reason(r, code);
    if (why) {
        std::fprintf(stderr, "vrjtag-jed: %s refused: %s\n", in, why);
        return 1;
    }
    std::FILE* f = std::fopen(out, "wb");
    const bool ok = f && vr::write_jedec(f, map, code);
    if (!f || std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "vrjtag-jed: cannot write %s\n", out);
        return 1;
    }
    return 0;
}

int diff(const char* a, const char* b) {
    int32_t code_a = 0, code_b = 0;
    vr::JedecInfo info;
    const vr::JedecResult ra = load(a, code_a, info);
    const char* why = reason(ra, code_a);
    second = map;
    const vr::JedecResult rb = load(b, code_b, info);
    const char* why_b = why ? nullptr : reason(rb, code_b);
    if (why || why_b) {
        std::fprintf(stderr, "vrjtag-jed: %s refused: %s\n", why ? a : b, why ? why : why_b);
        return 2;
    }
    if (code_a != code_b) {
        std::fprintf(stderr, "vrjtag-jed: the files are for different devices\n");
        return 2;
    }
    int differ = 0;
    for (int32_t i = 0; i < vr::device_of(code_a).fuse_count; ++i)
        if (second[i] != map[i]) {
            std::printf("%d %d %d\n", i, second[i], map[i]);
            ++differ;
        }
    return differ ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "inspect") == 0) return inspect(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "rewrite") == 0) return rewrite(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "diff") == 0) return diff(argv[2], argv[3]);
    std::fputs(usage, stderr);
    return 2;
}
