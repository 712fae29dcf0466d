// The serial ports this machine has, with what is plugged into them, for the
// connection window. One implementation per platform.
#pragma once

#include <string>
#include <vector>

namespace vr::os {

struct SerialPort {
    std::string name;  // what jtag.ini names: "ttyUSB0", "COM3"
    std::string path;  // what opens it: "/dev/ttyUSB0", "\\\\.\\COM3"
    std::string what;  // the USB device's own name ("FT232R USB UART", "USB-SERIAL CH340"), or ""
};

// The ports found, sorted by name.
std::vector<SerialPort> serial_ports();

#ifndef _WIN32
// The same from a sysfs tty class folder (/sys/class/tty) and a device
// folder (/dev): USB serial adapters (ttyUSB, ttyACM) and on-board UARTs
// backed by a device (ttyAMA, ttyS with a driver other than the legacy
// 8250 placeholders).
std::vector<SerialPort> serial_ports_under(const std::string& tty_class, const std::string& dev);
#endif

}  // namespace vr::os
