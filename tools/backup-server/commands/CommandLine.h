// The tool's command line: its options (some also from the environment), the command
// word and the command's own words, read into a CommandContext. --help, --version and
// a missing command are answered here.
#pragma once

#include <boost/program_options/options_description.hpp>

#include "backup-server/commands/Command.h"

namespace backup_server {

// Environment variables standing in for options that are not given.
inline constexpr const char* kKeysVariable = "ZENTRAD_KEYS";    // --keys
inline constexpr const char* kStoreVariable = "ZENTRAD_STORE";  // a command's STORE word
inline constexpr const char* kServerVersion = "2.27.0";

struct ParsedCommandLine {
    const CommandInfo* command = nullptr;  // known as soon as the command word is read
    CommandContext context;
    bool printed = false;  // help or version printed: exit with printedStatus
    int printedStatus = kExitOk;
};

boost::program_options::options_description commandLineOptions();

// Throws UsageError or boost::program_options::error for a wrong command line; fills
// line.command as soon as it is known, so the error can show that command's usage.
void parseCommandLine(int argc, char** argv,
                      const boost::program_options::options_description& options,
                      ParsedCommandLine& line);

// The whole help text: options, commands, exit statuses.
void printUsage(std::ostream& out, const boost::program_options::options_description& options);

const CommandInfo* findCommand(const std::string& name);

}  // namespace backup_server
