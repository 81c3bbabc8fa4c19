// hostsim's command table. Each group of commands lives in its own file and returns its
// commands; main dispatches on the first argument. A command receives the arguments after
// its name (the host root is already chosen: ZENTRAD_HOST_ROOT names it) and returns the
// process exit code; it reports its own errors on standard error.
#pragma once

#include <string>
#include <vector>

struct Command {
    const char* name;
    const char* usage;
    int (*run)(const std::vector<std::string>& args);
};

// init, add-disk, media, span, optical, letter, fault.
std::vector<Command> hostCommands();
// mkfs, put, write.
std::vector<Command> volumeCommands();
// show.
std::vector<Command> showCommands();
// The change-tracking driver's commands.
std::vector<Command> driverCommands();
