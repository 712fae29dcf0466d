// The adapter's end of the serial line: a pseudo-terminal whose slave stays
// open (so the line is up between programs), named by a symbolic link.
#pragma once

#include <string>

namespace vr::sim {

struct Pty {
    int master = -1;
    int slave = -1;
    std::string name;  // the slave's path
};

// Opens a raw pseudo-terminal and makes link a symbolic link to it. link may
// be missing or a symbolic link (replaced); anything else is refused, so a
// wrong argument never removes a file. On failure error says why.
bool open_pty_link(const std::string& link, Pty& pty, std::string& error);

// Removes link when it still points at the pseudo-terminal, and closes it.
void close_pty_link(const std::string& link, Pty& pty);

}  // namespace vr::sim
