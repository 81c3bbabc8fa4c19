#include "backup-server/commands/CommandLine.h"
#include "backup-server/store/StoreLocation.h"

#include <boost/program_options.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "backup-server/commands/Documentation.h"
#include "backup-server/commands/StoreArguments.h"

namespace po = boost::program_options;

namespace backup_server {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// A command's STORE word may come from ZENTRAD_STORE: it is taken from there when the word
// at its place is missing or is not a path (an option KEY=VALUE, or a device ID, which
// never holds a slash).
void storeFromEnvironment(const CommandInfo& command, std::vector<std::string>& words) {
    std::string store = environment(kStoreVariable);
    if (command.storeWord < 0 || store.empty())
        return;
    for (const std::string& word : words) {
        if (word.rfind("image=", 0) == 0 || word.rfind("packed=", 0) == 0)
            return;  // restore from an image file: no store
    }
    auto at = static_cast<std::size_t>(command.storeWord);
    if (words.size() < at)
        return;  // the words before STORE are missing: that is the usage error to show
    if (words.size() > at) {
        const std::string& word = words[at];
        bool path = word.find('/') != std::string::npos || std::filesystem::is_directory(word);
        if (path && word.find('=') == std::string::npos)
            return;
    }
    words.insert(words.begin() + static_cast<std::ptrdiff_t>(at), store);
}

unsigned checkedPort(const po::variables_map& values, const std::string& command) {
    unsigned standard = command == "status" ? 1159 : 1167;
    unsigned port = values.count("port") ? values["port"].as<unsigned>() : standard;
    if (port == 0 || port > 0xFFFF)
        throw UsageError("--port must be 1 to 65535: " + std::to_string(port));
    return port;
}

}  // namespace

const CommandInfo* findCommand(const std::string& name) {
    for (const auto& command : commandTable()) {
        if (name == command.name)
            return &command;
    }
    return nullptr;
}

po::options_description commandLineOptions() {
    std::string keys = environment(kKeysVariable);
    po::options_description options("options");
    options.add_options()("help,h", "show this help (with a command: its usage)")(
        "version", "print the version and exit")(
        "quiet,q", "print only results, warnings and errors (no agent INFO records, no progress)")(
        "verbose,v", "also print what the tool connects to")(
        "dry-run", "forget: print what would be forgotten, change nothing")(
        "no-encryption", "init: make a store that is not encrypted (for an encrypted disk below)")(
        "warn-age", po::value<std::string>(),
        "status of a store: warn when a volume's last good point is older (e.g. 26h)")(
        "crit-age", po::value<std::string>(),
        "status of a store: critical when a volume's last good point is older (e.g. 3d)")(
        "keys,k", po::value<std::string>()->default_value(keys.empty() ? "server-keys" : keys),
        "folder of this server's RSA key pair (or $ZENTRAD_KEYS)")(
        "host", po::value<std::string>()->default_value("127.0.0.1"), "agent host")(
        "port,p", po::value<unsigned>(), "agent port (default 1167; 1159 for status)")(
        "json", "print JSON instead of text (every command; README lists the fields)")(
        "long,l", "ls: sizes, times and attributes")("recursive,R", "ls: list sub-folders too")(
        "stats", "ls, cat: print the chunks read and the time on standard error")(
        "protocol", po::value<unsigned>()->default_value(2),
        "highest protocol version to offer the agent (1 or 2)")(
        "password-file", po::value<std::string>(),
        "an encrypted store's passphrase: the first line of FILE (or $ZENTRAD_PASSWORD_FILE)")(
        "key-file", po::value<std::string>(), "an encrypted store's key file")(
        "cache-dir", po::value<std::string>(),
        "an s3:// store's local folder: its catalogue and locks (default under "
        "$XDG_CACHE_HOME/zentrad)");
    return options;
}

void printUsage(std::ostream& out, const po::options_description& options) {
    out << "usage: backup-server [options] COMMAND [ARGUMENTS...]\n\n"
        << options << "\ncommands:\n";
    for (const auto& command : commandTable())
        out << "  " << command.usage << "\n";
    out << "\nenvironment:\n  " << kKeysVariable
        << "  the --keys folder when --keys is not given\n  " << kStoreVariable
        << " the STORE of a command when its STORE word is left out\n"
        << "  ZENTRAD_PASSWORD_FILE the --password-file of an encrypted store when it is not "
           "given\n";
    out << "\nexit status (every command):\n";
    for (const auto& status : exitStatusTable())
        out << "  " << status.status << "  " << status.meaning << "\n";
}

void parseCommandLine(int argc, char** argv, const po::options_description& options,
                      ParsedCommandLine& line) {
    po::options_description hidden;
    hidden.add_options()("command", po::value<std::vector<std::string>>(), "command and arguments")(
        "man-page", "print the man page (roff)")("bash-completion", "print the bash completion");
    po::options_description all;
    all.add(options).add(hidden);
    po::positional_options_description positional;
    positional.add("command", -1);
    po::variables_map values;
    // Options may follow the command word, so the command is looked up first: an error in
    // an option then shows that command's usage.
    po::parsed_options parsed =
        po::command_line_parser(argc, argv).options(all).positional(positional).run();
    for (const auto& option : parsed.options) {
        if (option.string_key == "command" && !option.value.empty()) {
            line.command = findCommand(option.value.front());
            break;
        }
    }
    po::store(parsed, values);
    po::notify(values);
    if (values.count("man-page") || values.count("bash-completion")) {
        if (values.count("man-page"))
            printManPage(std::cout, options);
        else
            printBashCompletion(std::cout, options);
        line.printed = true;
        return;
    }
    if (values.count("version")) {
        std::cout << "backup-server " << kServerVersion << "\n";
        line.printed = true;
        return;
    }
    if (!values.count("command")) {
        printUsage(values.count("help") ? std::cout : std::cerr, options);
        line.printed = true;
        line.printedStatus = values.count("help") ? kExitOk : kExitUsage;
        return;
    }
    auto words = values["command"].as<std::vector<std::string>>();
    if (line.command == nullptr)
        throw UsageError("unknown command: " + words.front());
    if (values.count("help")) {
        std::cout << "usage: backup-server [options] " << line.command->usage << "\n";
        line.printed = true;
        return;
    }
    std::string name = line.command->name;
    if (values.count("dry-run") && name != "forget")
        throw UsageError("--dry-run is an option of forget only");
    if ((values.count("warn-age") || values.count("crit-age")) && name != "status")
        throw UsageError("--warn-age and --crit-age are options of status only");
    if (values.count("no-encryption") && name != "init")
        throw UsageError("--no-encryption is an option of init only");
    if (values.count("quiet") && values.count("verbose"))
        throw UsageError("-q and -v exclude each other");
    CommandContext& context = line.context;
    context.keysDir = values["keys"].as<std::string>();
    context.host = values["host"].as<std::string>();
    context.port = static_cast<std::uint16_t>(checkedPort(values, words.front()));
    context.arguments.assign(words.begin() + 1, words.end());
    storeFromEnvironment(*line.command, context.arguments);
    context.json = values.count("json") != 0;
    context.quiet = values.count("quiet") != 0;
    context.verbose = values.count("verbose") != 0;
    context.dryRun = values.count("dry-run") != 0;
    context.noEncryption = values.count("no-encryption") != 0;
    if (values.count("warn-age"))
        context.warnAge = durationSeconds("--warn-age", values["warn-age"].as<std::string>());
    if (values.count("crit-age"))
        context.critAge = durationSeconds("--crit-age", values["crit-age"].as<std::string>());
    context.longListing = values.count("long") != 0;
    context.recursive = values.count("recursive") != 0;
    context.stats = values.count("stats") != 0;
    unsigned protocol = values["protocol"].as<unsigned>();
    if (protocol != 1 && protocol != 2)
        throw UsageError("--protocol must be 1 or 2: " + std::to_string(protocol));
    context.protocol = protocol;
    auto text = [&](const char* name) {
        return values.count(name) ? std::optional(values[name].as<std::string>()) : std::nullopt;
    };
    context.keySource = KeySource::fromOptions(text("password-file"), text("key-file"));
    if (std::optional<std::string> cache = text("cache-dir")) {
        ObjectStoreOptions options = objectStoreOptions();
        options.cacheDir = std::filesystem::absolute(*cache);
        setObjectStoreOptions(std::move(options));
    }
}

}  // namespace backup_server
