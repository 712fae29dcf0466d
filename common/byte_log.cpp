#include "common/byte_log.hpp"

#include <string>

namespace vr {

void log_bytes(std::FILE* log, double seconds, const char* dir, const void* data, std::size_t count) {
    if (!log || count == 0) return;
    const auto* bytes = static_cast<const unsigned char*>(data);
    char part[64];
    std::snprintf(part, sizeof part, "%.6f %s ", seconds, dir);
    std::string line = part;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char c = bytes[i];
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            line += static_cast<char>(c);
        } else {
            std::snprintf(part, sizeof part, "\\x%02X", c);
            line += part;
        }
    }
    line += " " + std::to_string(count) + "\n";
    std::fputs(line.c_str(), log);
    std::fflush(log);
}

}  // namespace vr
