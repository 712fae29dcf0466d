// The READ action's output: the JEDEC file written through the operating
// system's output file (os/output.hpp), which replaces a file only with a
// complete new one.
#include "fusemap/jedec.hpp"
#include "os/output.hpp"

namespace vr {
namespace {

struct Contents {
    FuseMap* map;
    int32_t code;
};

bool write_contents(std::FILE* stream, void* context) {
    const Contents* c = static_cast<const Contents*>(context);
    return write_jedec(stream, *c->map, c->code);
}

}  // namespace

bool open_output(const FileName& name) {
    std::array<char, name_len + 1> path{};
    path_of(name, path);
    return os::output_open(path.data());
}

bool writej(FuseMap& map, int32_t code) {
    Contents contents{&map, code};
    return os::output_write(write_contents, &contents);
}

void drop_output() { os::output_drop(); }

}  // namespace vr
