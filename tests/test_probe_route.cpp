// jtag.ini's probe= lines: which route each names, and the mistakes refused
// before anything is opened.
#include <gtest/gtest.h>

#include <filesystem>

#include "control/probe_route.hpp"
#include "os/ports.hpp"
#include "tests/helpers.hpp"

namespace {

struct Case {
    std::vector<std::string> lines;
    bool direct;
    std::string why_part;  // "" when accepted
    std::string probe, nano, rbb, openocd, device;
    long khz;
};

TEST(ProbeRoute, ConfigLinesNameTheRoute) {
    const Case cases[] = {
        {{"COM3"}, false, "", "", "", "", "", "", 0},
        {{"sim\r"}, false, "", "", "", "", "", "", 0},
        {{"probe=ft232h", "speed=2000", "device=ATF1508ASV"}, true, "", "ft232h", "", "", "", "ATF1508ASV", 2000},
        {{"probe=/etc/my probe.cfg\r"}, true, "", "/etc/my probe.cfg", "", "", "", "", 0},
        {{"probe=nano:/dev/ttyUSB0", "", "; a comment"}, true, "", "", "/dev/ttyUSB0", "", "", "", 0},
        {{"probe=remote_bitbang:127.0.0.1:4444"}, true, "", "", "", "127.0.0.1:4444", "", "", 0},
        {{"probe=openocd:localhost:6666"}, true, "", "", "", "", "localhost:6666", "", 0},
        {{"probe="}, true, "no probe", "", "", "", "", "", 0},
        {{"probe=nano:"}, true, "port", "", "", "", "", "", 0},
        {{"probe=openocd:6666"}, true, "HOST:PORT", "", "", "", "", "", 0},
        {{"probe=remote_bitbang:host:"}, true, "HOST:PORT", "", "", "", "", "", 0},
        {{"probe=ft232h", "device=ATF9999"}, true, "unknown device", "", "", "", "", "", 0},
        {{"probe=ft232h", "speed=fast"}, true, "kHz", "", "", "", "", "", 0},
        {{"probe=ft232h", "sped=100"}, true, "unknown line", "", "", "", "", "", 0},
    };
    for (const Case& c : cases) {
        vr::ProbeRoute route;
        std::string why;
        const std::string first = c.lines[0];
        ASSERT_EQ(vr::route_from_config(c.lines, route, why), c.direct) << first;
        if (!c.direct) continue;
        if (!c.why_part.empty()) {
            EXPECT_NE(why.find(c.why_part), std::string::npos) << first << ": " << why;
            continue;
        }
        EXPECT_EQ(why, "") << first;
        EXPECT_EQ(route.probes.empty() ? "" : route.probes[0], c.probe) << first;
        EXPECT_EQ(route.nano, c.nano) << first;
        EXPECT_EQ(route.rbb, c.rbb) << first;
        EXPECT_EQ(route.openocd, c.openocd) << first;
        EXPECT_EQ(route.device, c.device) << first;
        EXPECT_EQ(route.khz, c.khz) << first;
    }
}

}  // namespace

#ifndef _WIN32
// The ports found in a tty class folder: USB serial adapters with their
// product names, a real on-board UART; the 8250 placeholders and ttys with
// no device left out.
TEST(SerialPorts, FoundWithTheirUsbNames) {
    namespace fs = std::filesystem;
    const fs::path root = vt::temp_dir();
    const fs::path usb = root / "devices/usb1/1-1", uart = root / "devices/platform/uart", legacy = root / "devices/serial8250";
    fs::create_directories(usb / "1-1:1.0/ttyUSB0");
    fs::create_directories(uart), fs::create_directories(root / "drivers/serial8250"), fs::create_directories(legacy);
    vt::write_file((usb / "product").string(), "FT232R USB UART\n");
    vt::write_file((usb / "manufacturer").string(), "FTDI\n");
    fs::create_directories(root / "tty/ttyUSB0"), fs::create_directories(root / "tty/ttyAMA0");
    fs::create_directories(root / "tty/ttyS3"), fs::create_directories(root / "tty/tty1");
    fs::create_directory_symlink(usb / "1-1:1.0/ttyUSB0", root / "tty/ttyUSB0/device");
    fs::create_directory_symlink(uart, root / "tty/ttyAMA0/device");
    fs::create_directory_symlink(legacy, root / "tty/ttyS3/device");
    fs::create_directory_symlink(root / "drivers/serial8250", legacy / "driver");
    const std::vector<vr::os::SerialPort> ports = vr::os::serial_ports_under((root / "tty").string(), "/dev");
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].name, "ttyAMA0");
    EXPECT_EQ(ports[0].what, "");
    EXPECT_EQ(ports[1].path, "/dev/ttyUSB0");
    EXPECT_EQ(ports[1].what, "FTDI FT232R USB UART");
}
#endif
