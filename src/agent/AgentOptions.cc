#include "agent/AgentOptions.h"

#include <mutex>

namespace agent {
namespace {

std::mutex optionsMutex;  // guards processOptions
std::shared_ptr<AgentOptions> processOptions;

}  // namespace

AgentOptions::AgentOptions(path installDir) : installDir_(std::move(installDir)) {
    tempDir_ = installDir_ / "temp";
    dbDir_ = installDir_ / "db";
    backupAllowDir_ = dbDir_ / "backup.allow";
    configFile_ = installDir_ / "config" / "zentrad.conf";
    setConfDir(installDir_ / "config");
    setLogDir(installDir_ / "log");
}

AgentOptions::path AgentOptions::complete(const path& given) const {
    path result = given;
    if (!(given.has_root_name() && given.has_root_directory())) {
        result = installDir_ / given;
    }
    std::error_code error;
    path absolute = std::filesystem::absolute(result, error);
    return error ? result : absolute;
}

void AgentOptions::setConfigFile(const path& file) {
    configFile_ = complete(file);
}

void AgentOptions::setConfDir(const path& dir) {
    confDir_ = complete(dir);
    serverAllowFile_ = confDir_ / "server.allow";
    rsaKeyFile_ = confDir_ / "rsa.key";
    rsaPublicKeyFile_ = confDir_ / "rsa_public.key";
    backupKeyFile_ = confDir_ / "backup.key";
}

void AgentOptions::setLogDir(const path& dir) {
    logDir_ = complete(dir);
    logFile_ = logDir_ / "zentrad.log";
}

std::shared_ptr<AgentOptions> agentOptions() {
    std::lock_guard<std::mutex> lock(optionsMutex);
    return processOptions;
}

void setAgentOptions(std::shared_ptr<AgentOptions> options) {
    std::lock_guard<std::mutex> lock(optionsMutex);
    processOptions = std::move(options);
}

}  // namespace agent
