// Serial ports from sysfs: each tty with a device, and the USB device above
// it for its product name.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "os/ports.hpp"

namespace vr::os {
namespace {

namespace fs = std::filesystem;

std::string first_line(const fs::path& p) {
    std::ifstream f(p);
    std::string line;
    std::getline(f, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// The product (and maker) of the nearest USB device above the tty's device.
std::string usb_name(const fs::path& device) {
    std::error_code ec;
    fs::path p = fs::canonical(device, ec);
    for (int up = 0; !ec && up < 5 && p.has_relative_path(); ++up, p = p.parent_path()) {
        const std::string product = first_line(p / "product");
        if (product.empty()) continue;
        const std::string maker = first_line(p / "manufacturer");
        return maker.empty() || product.find(maker) != std::string::npos ? product : maker + " " + product;
    }
    return {};
}

}  // namespace

std::vector<SerialPort> serial_ports_under(const std::string& tty_class, const std::string& dev) {
    std::vector<SerialPort> ports;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(tty_class, ec)) {
        const std::string name = e.path().filename().string();
        const fs::path device = e.path() / "device";
        if (!fs::exists(device, ec)) continue;
        const bool usb = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
        const bool uart = name.rfind("ttyAMA", 0) == 0 || name.rfind("ttyS", 0) == 0;
        if (!usb && !uart) continue;
        // The 8250 driver registers ttyS0-31 whether or not a UART is there.
        if (name.rfind("ttyS", 0) == 0 && fs::canonical(device / "driver", ec).filename() == "serial8250") continue;
        ports.push_back({name, dev + "/" + name, usb_name(device)});
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPort& a, const SerialPort& b) { return a.name < b.name; });
    return ports;
}

std::vector<SerialPort> serial_ports() { return serial_ports_under("/sys/class/tty", "/dev"); }

}  // namespace vr::os
