// backup-server: a command-line backup server for the agent's protocol.
//   backup-server [--keys DIR] [--host HOST] [--port PORT] COMMAND [ARGUMENTS...]
#include <boost/program_options.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "backup-server/Command.h"
#include "backup-server/StoreLock.h"
#include "crypto/CryptoLibrary.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace po = boost::program_options;

namespace {

void printUsage(const po::options_description& options) {
    std::cout << "usage: backup-server [options] COMMAND [ARGUMENTS...]\n\n"
              << options << "\ncommands:\n";
    for (const auto& command : backup_server::commandTable())
        std::cout << "  " << command.usage << "\n";
    std::cout << "\nexit status (every command):\n"
                 "  0  done\n"
                 "  1  the work failed (the reason is printed)\n"
                 "  2  wrong command line (the command's usage is printed)\n"
                 "  3  backup: the agent is busy with another backup\n"
                 "  4  the agent cannot be reached at --host and --port\n"
                 "  5  another backup-server command is using the store\n"
                 "  6  verify: damage found in the store\n";
}

int usageError(const backup_server::CommandInfo& command, const std::string& message) {
    std::cerr << "backup-server " << command.name << ": " << message
              << "\nusage: backup-server [options] " << command.usage
              << "\n(backup-server --help lists options and exit statuses)\n";
    return backup_server::kExitUsage;
}

// Blocks come and go a batch at a time: a batch's buffers are freed together, and glibc
// would then hand the heap's top back to the system and fault the same pages in again for
// the next batch (a fifth of a restore's time went there). Keep freed memory instead.
void keepFreedMemory() {
#if defined(__GLIBC__)
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
#endif
}

const backup_server::CommandInfo* findCommand(const std::string& name) {
    for (const auto& command : backup_server::commandTable()) {
        if (name == command.name)
            return &command;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    keepFreedMemory();
    po::options_description options("options");
    options.add_options()("help,h", "show this help")(
        "keys,k", po::value<std::string>()->default_value("server-keys"),
        "folder of this server's RSA key pair")(
        "host", po::value<std::string>()->default_value("127.0.0.1"), "agent host")(
        "port,p", po::value<unsigned>(), "agent port (default 1167; 1159 for status)")(
        "json", "print JSON instead of text (points, verify, ls)")(
        "long,l", "ls: sizes, times and attributes")("recursive,R", "ls: list sub-folders too")(
        "stats", "ls, cat: print the chunks read and the time on standard error")(
        "protocol", po::value<unsigned>()->default_value(2),
        "highest protocol version to offer the agent (1 or 2)")(
        "password-file", po::value<std::string>(),
        "an encrypted store's passphrase: the first line of FILE (default: the file named by "
        "ZENTRAD_PASSWORD_FILE)")("key-file", po::value<std::string>(),
                                  "an encrypted store's key file");
    po::options_description hidden;
    hidden.add_options()("command", po::value<std::vector<std::string>>(), "command and arguments");
    po::options_description all;
    all.add(options).add(hidden);
    po::positional_options_description positional;
    positional.add("command", -1);
    try {
        po::variables_map values;
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(),
                  values);
        po::notify(values);
        if (!values.count("command")) {
            printUsage(options);
            return values.count("help") ? 0 : 2;
        }
        auto words = values["command"].as<std::vector<std::string>>();
        const backup_server::CommandInfo* command = findCommand(words.front());
        if (command == nullptr) {
            std::cerr << "unknown command: " << words.front() << "\n";
            printUsage(options);
            return 2;
        }
        if (values.count("help")) {
            std::cout << "usage: backup-server [options] " << command->usage << "\n";
            return 0;
        }
        crypto::CryptoLibrary::initialise();
        backup_server::CommandContext context;
        context.keysDir = values["keys"].as<std::string>();
        context.host = values["host"].as<std::string>();
        unsigned standardPort = words.front() == "status" ? 1159 : 1167;
        unsigned port = values.count("port") ? values["port"].as<unsigned>() : standardPort;
        if (port == 0 || port > 0xFFFF)
            throw std::invalid_argument("port out of range: " + std::to_string(port));
        context.port = static_cast<std::uint16_t>(port);
        context.arguments.assign(words.begin() + 1, words.end());
        context.json = values.count("json") != 0;
        context.longListing = values.count("long") != 0;
        context.recursive = values.count("recursive") != 0;
        context.stats = values.count("stats") != 0;
        unsigned protocol = values["protocol"].as<unsigned>();
        if (protocol != 1 && protocol != 2)
            throw std::invalid_argument("protocol must be 1 or 2: " + std::to_string(protocol));
        context.protocol = protocol;
        context.out = &std::cout;
        auto text = [&](const char* name) {
            return values.count(name) ? std::optional(values[name].as<std::string>())
                                      : std::nullopt;
        };
        context.keySource =
            backup_server::KeySource::fromOptions(text("password-file"), text("key-file"));
        try {
            return command->run(context);
        } catch (const backup_server::UsageError& error) {
            return usageError(*command, error.what());
        } catch (const backup_server::AgentUnreachable& error) {
            std::cerr << "backup-server: " << error.what() << "\n";
            return backup_server::kExitUnreachable;
        } catch (const backup_server::StoreInUse& error) {
            std::cerr << "backup-server: " << error.what() << "\n";
            return backup_server::kExitStoreInUse;
        }
    } catch (const std::exception& error) {
        std::cerr << "backup-server: " << error.what() << "\n";
        return 1;
    }
}
