// The adapter's end of the serial line: a pseudo-terminal named by a symbolic
// link. The adapter holds only the master side, so that it sees the host
// close the port (the master then reports a hang-up); after a hang-up it
// serves a fresh pseudo-terminal, because a host that died holding the port
// exclusively (TIOCEXCL) leaves the old one refusing every other user.
#pragma once

#include <string>

namespace vr::line {

struct Pty {
    int master = -1;  // non-blocking
    std::string name;  // the slave's path
};

// Opens a raw pseudo-terminal and makes link a symbolic link to it. link may
// be missing or a symbolic link (replaced); anything else is refused, so a
// wrong argument never removes a file. On failure error says why.
bool open_pty_link(const std::string& link, Pty& pty, std::string& error);

// Replaces pty with a fresh pseudo-terminal and points link at it in one
// step (the link is never missing); the old one is closed.
bool renew_pty_link(const std::string& link, Pty& pty, std::string& error);

// Removes link when it still points at the pseudo-terminal, and closes it.
void close_pty_link(const std::string& link, Pty& pty);

// Whether a program holds the port, from what poll reports on the master:
// a hang-up while no program has the slave open, none while one has. Told of
// every poll (a time-out too, with no events), it says when a program opened
// the port and when it closed it; bytes still waiting to be read come first.
class HostWatch {
public:
    enum Change { same, opened, closed };
    Change seen(short revents);

private:
    bool present_ = false;
};

}  // namespace vr::line
