// Serial ports from the device manager's Ports class: each present device's
// port name (COM3) and friendly name ("USB-SERIAL CH340 (COM3)").
#include <windows.h>
#include <setupapi.h>
#include <devguid.h>

#include <algorithm>
#include <cstring>

#include "os/ports.hpp"

namespace vr::os {

std::vector<SerialPort> serial_ports() {
    std::vector<SerialPort> ports;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return ports;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        char port[64] = {};
        HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        DWORD size = sizeof port - 1, type = 0;
        const LONG r = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size);
        RegCloseKey(key);
        if (r != ERROR_SUCCESS || type != REG_SZ || std::strncmp(port, "COM", 3) != 0) continue;
        char friendly[256] = {};
        SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE*>(friendly),
                                          sizeof friendly - 1, nullptr);
        std::string what = friendly;
        // "USB-SERIAL CH340 (COM3)": the name without its port.
        if (const std::size_t at = what.rfind(" ("); at != std::string::npos) what.erase(at);
        // The device path opens COM10 and above too.
        ports.push_back({port, std::string("\\\\.\\") + port, what});
    }
    SetupDiDestroyDeviceInfoList(set);
    std::sort(ports.begin(), ports.end(), [](const SerialPort& a, const SerialPort& b) {
        return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
    });
    return ports;
}

}  // namespace vr::os
