#include <cstring>

#include "control/connect_sequence.hpp"
#include "control/run.hpp"

// vrjtag: the programmer; vrjtag --connect: the connection window.
int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--connect") == 0) vr::connect_sequence();
    else vr::main_sequence();
    return 0;
}
