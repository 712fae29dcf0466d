#include "adapter/sim.hpp"

#include <cstdio>
#include <cstdlib>

namespace vr::sim {

bool add_fault(Faults& f, const std::string& option) {
    const std::size_t eq = option.find('=');
    const std::string name = option.substr(0, eq);
    const int n = eq == std::string::npos ? -1 : static_cast<int>(std::strtol(option.c_str() + eq + 1, nullptr, 0));
    if (name == "no-id") return f.no_id = true;
    if (name == "erase-fail") return f.erase_fail = true;
    if (name == "crlf") return f.crlf = true;
    if (n < 0) return false;
    struct { const char* name; int Faults::*field; } numbered[] = {
        {"stall-row", &Faults::stall_row}, {"wrong-address", &Faults::wrong_address},
        {"bad-hex", &Faults::bad_hex},     {"nul-row", &Faults::nul_row},
        {"no-r", &Faults::no_r},           {"no-d", &Faults::no_d},
        {"no-e", &Faults::no_e},           {"stuck-fuse", &Faults::stuck_fuse},
        {"drop-write", &Faults::drop_write},
    };
    for (const auto& e : numbered)
        if (name == e.name) {
            f.*e.field = n;
            return true;
        }
    return false;
}

namespace {

model::ModelOptions chip_of(int32_t code) {
    model::ModelOptions o;
    o.chip = &model::chips[code == 8 ? 1 : 0];
    return o;
}

}  // namespace

Adapter::Adapter(int32_t code, char id_reply, Faults faults)
    : Adapter(chip_of(code), id_reply, faults) {}

static model::ModelOptions with_faults(model::ModelOptions o, const Faults& f) {
    if (o.stuck_fuse < 0) o.stuck_fuse = f.stuck_fuse;
    return o;
}

Adapter::Adapter(const model::ModelOptions& chip, char id_reply, Faults faults)
    : model_(with_faults(chip, faults)), probe_(model_), faulty_(link_, faults, id_reply),
      input_(server_, faults.drop_write) {
    // A failing erase goes through the probe, down the server's own failure
    // path: the erase pulse fails and nothing is erased.
    probe_.fail_erase = faults.erase_fail;
    adapter::server_init(server_, probe_, faulty_);
}

void LostWrite::receive(const char* bytes, uint16_t count) {
    if (address_ < 0) return adapter::server_receive(server_, bytes, count);
    for (uint16_t i = 0; i < count; ++i) {
        line_ += bytes[i];
        // Far longer than any command: the server refuses it anyway.
        if (line_.size() > 4096) {
            adapter::server_receive(server_, line_.data(), static_cast<uint16_t>(line_.size()));
            line_.clear();
        }
        if (bytes[i] != '\r') continue;
        const bool lost = line_.size() > 6 && line_.compare(0, 3, "#8W") == 0 &&
                          std::strtol(line_.substr(3, 3).c_str(), nullptr, 16) == address_;
        if (!lost) adapter::server_receive(server_, line_.data(), static_cast<uint16_t>(line_.size()));
        line_.clear();
    }
}

void LostWrite::hangup() {
    line_.clear();
    adapter::server_hangup(server_);
}

void ReplyFaults::send(const char* bytes, uint16_t count) {
    pending_.append(bytes, count);
    for (std::size_t cr; (cr = pending_.find('\r')) != std::string::npos;) {
        std::string r = pending_.substr(0, cr + 1);
        pending_.erase(0, cr + 1);
        reply(std::move(r));
    }
}

void ReplyFaults::reply(std::string r) {
    const std::size_t n = r.size();
    const bool id = n == 2 && r[0] >= '0' && r[0] <= '9';
    if (id && faults_.no_id) return;
    if (id && id_reply_) r[0] = id_reply_;
    int address = -1;
    if (n >= 7 && r[0] == 'r' && r[4] == 'd' && r[n - 2] == 'e') address = static_cast<int>(std::strtol(r.substr(1, 3).c_str(), nullptr, 16));
    if (address >= 0) {
        const std::size_t digits = n - 7;
        if (address == faults_.wrong_address) {
            char shown[4];
            std::snprintf(shown, sizeof shown, "%03X", (address + 1) & 0xFFF);
            r.replace(1, 3, shown);
        }
        if (address == faults_.no_r) r[0] = 'x';
        if (address == faults_.no_d) r[4] = 'D';
        if (address == faults_.no_e) r[n - 2] = 'x';
        if (address == faults_.bad_hex) r[5 + digits / 2] = 'G';
        if (address == faults_.nul_row) r[5 + digits / 2] = '\0';
    }
    if (faults_.crlf) r += '\n';
    if (address >= 0 && address == faults_.stall_row) {
        out_.send(r.data(), static_cast<uint16_t>(r.size() / 2));
        out_.stall(700);
        out_.send(r.data() + r.size() / 2, static_cast<uint16_t>(r.size() - r.size() / 2));
        return;
    }
    out_.send(r.data(), static_cast<uint16_t>(r.size()));
}

void Adapter::set_log(std::FILE* log) {
    link_.log = log;
    link_.t0 = os::now_seconds();
    model_.set_log(log);
}

}  // namespace vr::sim
