#include "adapter/sim.hpp"

#include "adapter/line/pty.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <chrono>
#include <cstdlib>
#include <thread>

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

jtag::Faults server_faults(const Faults& f) {
    jtag::Faults s;
    jtag::faults_none(s);
    s.no_id = f.no_id;
    s.erase_fail = f.erase_fail;
    s.crlf = f.crlf;
    auto address = [](int v) { return static_cast<int16_t>(v >= 0 && v <= 0x7FFF ? v : -1); };
    s.stall_row = address(f.stall_row);
    s.wrong_address = address(f.wrong_address);
    s.bad_hex = address(f.bad_hex);
    s.nul_row = address(f.nul_row);
    s.no_r = address(f.no_r);
    s.no_d = address(f.no_d);
    s.no_e = address(f.no_e);
    s.drop_write = address(f.drop_write);
    return s;
}

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
    : model_(with_faults(chip, faults)), probe_(model_) {
    jtag::server_init(server_, probe_, link_);
    server_.faults = server_faults(faults);
    server_.id_reply = id_reply;
}

void Adapter::set_log(std::FILE* log) {
    link_.log = log;
    link_.t0 = now_seconds();
    model_.set_log(log);
}

}  // namespace vr::sim
