// Shared test helpers: temporary folders, files, and a pseudo-terminal that
// stands in for the adapter's serial line.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#ifndef _WIN32
#include "adapter/sim.hpp"
#endif
#include "common/text.hpp"
#include "fusemap/fusemap.hpp"

namespace vt {

// A new folder under the system's temporary folder, removed with everything
// in it when the test program ends.
std::string temp_dir();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
std::string data(const std::string& name);  // path of a test data file
vr::FileName file_name(const std::string& path);

// A map of random 0/1 values over the device's fuses (reserved fuses 0).
void random_map(vr::FuseMap& map, int32_t code, unsigned variant);

#ifndef _WIN32
// A pseudo-terminal whose slave is the port named "tp" in a configuration
// home of its own (XDG_CONFIG_HOME is set for the test).
class Line {
public:
    Line();
    ~Line();
    int master() const { return master_; }
    // Opens the port through initcom; true on status 0.
    bool open();
    // Bytes the program sent, waiting up to ms for them to stop arriving.
    std::string sent(int ms = 200);
    void reply(const std::string& bytes);

private:
    int master_ = -1;
    std::string dir_;
};

// The emulator library serving the master side of a Line from a thread.
class Emulated {
public:
    Emulated(Line& line, int32_t code, char id_reply, vr::sim::Faults faults = {});
    ~Emulated();
    // Stops serving and joins the thread: call before looking at the adapter.
    void stop();
    vr::sim::Adapter adapter;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

#endif

}  // namespace vt
