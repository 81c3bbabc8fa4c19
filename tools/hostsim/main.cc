// hostsim: creates and changes an emulated Windows host.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"

namespace {

const char* kHostConfKeys = R"(
The host root is --root DIR, else $ZENTRAD_HOST_ROOT. VOLUME is a drive letter (C), a
volume GUID path, DISK:PARTITION (as in "Disk N Partition M": containers not counted) or
the name of a spanned or optical volume. SIZE takes K, M, G or s (sectors) suffixes.

host.conf keys:
  [disk N]          media = fixed | removable | not-ready
  [letters]         X = \\?\Volume{...}\          (drive X's files live in drives/X/)
  [spanned NAME]    extent = DISK OFFSET LENGTH   (bytes; one line per extent, in order)
                    guid = xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx   (optional)
  [optical NAME]    an optical drive without a medium
  [fault NAME]      kind = read-error | write-error | short-write   (default read-error)
                    volume = X or a GUID path  |  disk = N
                    clusters = A[-B] (NTFS clusters of the volume)  |  sectors = A[-B]
                    error = 23 (23, 121 and 1117 are the transient device errors)
                    attempts = N (fail the first N attempts at each place; default always)
                    bytes = N (short-write: bytes written before the write stops)
)";

std::vector<Command> allCommands() {
    std::vector<Command> commands = hostCommands();
    for (auto group : {volumeCommands(), showCommands(), driverCommands()}) {
        commands.insert(commands.end(), group.begin(), group.end());
    }
    return commands;
}

void usage(std::ostream& out) {
    out << "usage: hostsim [--root DIR] COMMAND [ARGS]\n\ncommands:\n";
    for (const auto& command : allCommands())
        out << "  " << command.usage << "\n";
    out << kHostConfKeys;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--root") {
        std::string root = std::filesystem::absolute(args[1]).string();
        ::setenv("ZENTRAD_HOST_ROOT", root.c_str(), 1);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty() || args[0] == "help" || args[0] == "--help") {
        usage(args.empty() ? std::cerr : std::cout);
        return args.empty() ? 2 : 0;
    }
    const char* root = std::getenv("ZENTRAD_HOST_ROOT");
    if (root == nullptr || *root == '\0') {
        std::cerr << "hostsim: give --root DIR or set ZENTRAD_HOST_ROOT\n";
        return 2;
    }
    for (const auto& command : allCommands()) {
        if (args[0] != command.name)
            continue;
        try {
            return command.run(std::vector<std::string>(args.begin() + 1, args.end()));
        } catch (const hostsim::UsageError& error) {
            std::cerr << "hostsim: " << error.what() << "\nusage: hostsim " << command.usage
                      << "\n";
            return 2;
        } catch (const std::exception& error) {
            std::cerr << "hostsim " << command.name << ": " << error.what() << "\n";
            return 1;
        }
    }
    std::cerr << "hostsim: unknown command '" << args[0] << "'\n";
    usage(std::cerr);
    return 2;
}
