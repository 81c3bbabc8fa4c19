#include "agent/Options.h"

#include <boost/program_options.hpp>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "agent/AgentOptions.h"
#include "agent/Service.h"
#include "agent/StateFolders.h"
#include "logging/Logger.h"
#include "platform/System.h"
#include "runtime/Exceptions.h"
#include "vssclient/FunctionTracer.h"
#include "vssclient/VssClient.h"

namespace po = boost::program_options;

namespace agent {
namespace {

// The options library reads "-1" into an unsigned 16-bit value as 65535; a port must be
// written as a number that fits.
struct Port {
    std::uint16_t value = 0;
};

// Found by argument-dependent lookup from the options library.
void validate(boost::any& result, const std::vector<std::string>& values, Port*, int) {
    po::validators::check_first_occurrence(result);
    const std::string& text = po::validators::get_single_string(values);
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        value > 0xFFFF) {
        throw po::invalid_option_value(text);
    }
    result = Port{static_cast<std::uint16_t>(value)};
}

po::options_description genericOptions() {
    po::options_description generic("Generic options");
    generic.add_options()("help,h", "produce help message")("config,c", po::value<std::string>(),
                                                            "use specified config file")(
        "install,i", "install as a new NT service")("delete,d", "delete NT service")(
        "recovery,r", "run in recovery mode")("vsstrace,v", "enhanced VSS tracing")(
        "vsscopy", "copy-only snapshots: application logs are not truncated")(
        "vsstimeout,t", po::value<std::int32_t>(),
        "VSS snapshot timeout in seconds (default 20 min, 0=infinite)");
    return generic;
}

po::options_description configFileOptions() {
    po::options_description config("Config file options");
    config.add_options()("ConfDir", po::value<std::string>(), "Config Directory")(
        "LogDir", po::value<std::string>(), "Log Directory")(
        "LocalPort", po::value<Port>(), "Local Port")("Timeout", po::value<std::int32_t>(),
                                                      "Network Timeout")(
        "IPAuthentication", po::value<bool>(), "IP Authentication")(
        "Protocol2", po::value<bool>(), "Accept protocol version 2 when a server offers it")(
        "RefuseProtocol1", po::value<bool>(), "Refuse servers that speak only protocol version 1");
    return config;
}

std::filesystem::path findInstallDir() {
    std::wstring module = platform::getModuleFileName();
    if (module.empty()) {
        ZENTRAD_THROW(runtime::AgentException, "Failed to find module name of current exe");
    }
    return std::filesystem::path(platform::toNarrow(module)).parent_path();
}

void parseCommandLine(const std::vector<std::string>& arguments,
                      const po::options_description& generic, po::variables_map& values) {
    std::vector<std::string> tokens(arguments.begin() + (arguments.empty() ? 0 : 1),
                                    arguments.end());
    try {
        po::store(po::command_line_parser(tokens).options(generic).run(), values);
        po::notify(values);
    } catch (const std::exception& error) {
        logging::logError() << "Error parsing command line arguments: " << error.what();
        throw;
    }
}

// named: the file was given with -c, so it must exist; the default file may be missing (an
// installation with every default).
void parseConfigFile(const std::filesystem::path& file, const po::options_description& config,
                     po::variables_map& values, bool named) {
    std::ifstream in(file);
    if (!in) {
        std::error_code error;
        if (!named && !std::filesystem::exists(file, error))
            return;
        // A user's mistake, said without the source location the agent's errors carry.
        throw std::runtime_error("Cannot read the configuration file " + file.string());
    }
    try {
        po::store(po::parse_config_file(in, config, false), values);
        po::notify(values);
    } catch (const std::exception& error) {
        logging::logError() << "Error parsing config file: " << error.what();
        throw;
    }
}

}  // namespace

std::optional<int> handleOptions(const std::vector<std::string>& arguments) {
    auto options = std::make_shared<agent::AgentOptions>(findInstallDir());
    agent::setAgentOptions(options);

    po::options_description generic = genericOptions();
    po::options_description config = configFileOptions();

    po::variables_map commandLine;
    parseCommandLine(arguments, generic, commandLine);
    if (commandLine.count("config")) {
        options->setConfigFile(commandLine["config"].as<std::string>());
    }
    po::variables_map configFile;
    parseConfigFile(options->configFile(), config, configFile, commandLine.count("config") != 0);

    options->setVssTimeout(
        commandLine.count("vsstimeout") ? commandLine["vsstimeout"].as<std::int32_t>() : 1200);

    if (configFile.count("ConfDir"))
        options->setConfDir(configFile["ConfDir"].as<std::string>());
    if (configFile.count("LogDir"))
        options->setLogDir(configFile["LogDir"].as<std::string>());

    if (commandLine.count("help")) {
        std::cout << generic << std::endl;
        return 1;
    }
    std::string reason;
    if (commandLine.count("install")) {
        if (!installService(&reason)) {
            std::cout << "Failed to install service. " << reason << std::endl;
            return 1;
        }
        // The folders for keys and allow lists exist, closed to other users, before the
        // service first starts.
        try {
            secureStateFolders(stateFolders(*options));
        } catch (const std::exception& error) {
            std::cout << "Installed the service, but its folders are not protected: "
                      << error.what() << std::endl;
            return 1;
        }
        std::cout << "Installed service successfully." << std::endl;
        return 0;
    }
    if (commandLine.count("vsstrace")) {
        vssclient::FunctionTracer::enableTracingMode();
    }
    vssclient::VssClient::setCopyOnlyBackups(commandLine.count("vsscopy") != 0);
    if (commandLine.count("delete")) {
        if (!deleteService(&reason)) {
            std::cout << "Failed to delete service. " << reason << std::endl;
            return 1;
        }
        std::cout << "Deleted service successfully." << std::endl;
        return 0;
    }
    if (configFile.count("LocalPort"))
        options->setLocalPort(configFile["LocalPort"].as<Port>().value);
    if (configFile.count("Timeout"))
        options->setTimeout(configFile["Timeout"].as<std::int32_t>());
    if (configFile.count("IPAuthentication")) {
        options->setIpAuthentication(configFile["IPAuthentication"].as<bool>());
    }
    if (configFile.count("Protocol2"))
        options->setAcceptProtocol2(configFile["Protocol2"].as<bool>());
    if (configFile.count("RefuseProtocol1"))
        options->setRefuseProtocol1(configFile["RefuseProtocol1"].as<bool>());
    if (commandLine.count("recovery")) {
        options->setRecovery(true);
        logging::logWarn() << "Agent is running in disaster recovery mode";
    }
    return std::nullopt;
}

}  // namespace agent
