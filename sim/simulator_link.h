// gimbal-sim's link among the virtual serial ports. A name is in use only
// while another live program holds the master side of the terminal the link
// leads to, and that terminal was there before the link was made. A link left
// by a program that died is replaced, even when its terminal number has been
// handed to someone else since (or to us).
#pragma once

#include <optional>
#include <string>

namespace sim {

struct TerminalProvider {
    long pid = 0;
    std::string program;  // its command name
};

// Who keeps alive the terminal that the existing link `path` leads to: a live
// process other than this one with its master side open, read from
// /proc/<pid>/fdinfo (only the processes we may read; the folder is ours, so
// is whoever put a link there). None for a leftover link.
std::optional<TerminalProvider> terminalProviderOf(const std::string& path, const std::string& proc = "/proc");

// Places `folder`/`name` -> `terminal`, replacing a leftover link. Empty with
// the reason in *error when the name is in use; the reason names the program
// and says how to remove the link should it be a leftover after all.
std::string placeSimulatorLink(const std::string& folder, const std::string& name, const std::string& terminal,
                               std::string* error);

}  // namespace sim
