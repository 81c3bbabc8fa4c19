// The one process-wide configuration record. It is built by the agent's option handling
// before any other thread exists and only read afterwards. Only src/agent reads it (through
// agentOptions()); the modules below are handed the values they need (see ModuleSettings.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

namespace agent {

class AgentOptions {
  public:
    using path = std::filesystem::path;

    explicit AgentOptions(path installDir);

    path installDir() const { return installDir_; }
    path confDir() const { return confDir_; }
    path configFile() const { return configFile_; }
    path serverAllowFile() const { return serverAllowFile_; }
    path tempDir() const { return tempDir_; }
    path rsaKeyFile() const { return rsaKeyFile_; }
    path rsaPublicKeyFile() const { return rsaPublicKeyFile_; }
    path backupKeyFile() const { return backupKeyFile_; }
    path dbDir() const { return dbDir_; }
    path backupAllowDir() const { return backupAllowDir_; }
    path logDir() const { return logDir_; }
    path logFile() const { return logFile_; }
    bool recovery() const { return recovery_; }
    bool ipAuthentication() const { return ipAuthentication_; }
    std::uint16_t sessionKeyBits() const { return sessionKeyBits_; }
    bool acceptProtocol2() const { return acceptProtocol2_; }
    bool refuseProtocol1() const { return refuseProtocol1_; }
    std::uint16_t localPort() const { return localPort_; }
    std::int32_t timeout() const { return timeout_; }
    std::int32_t vssTimeout() const { return vssTimeout_; }

    // Paths are completed: relative ones are taken from installDir.
    void setConfigFile(const path& file);
    // Moves the configuration directory and the four files kept in it.
    void setConfDir(const path& dir);
    // Moves the log directory and the current log file.
    void setLogDir(const path& dir);

    void setRecovery(bool value) { recovery_ = value; }
    void setIpAuthentication(bool value) { ipAuthentication_ = value; }
    void setAcceptProtocol2(bool value) { acceptProtocol2_ = value; }
    void setRefuseProtocol1(bool value) { refuseProtocol1_ = value; }
    void setLocalPort(std::uint16_t value) { localPort_ = value; }
    void setTimeout(std::int32_t value) { timeout_ = value; }
    void setVssTimeout(std::int32_t value) { vssTimeout_ = value; }

    // A path without both a root name and a root directory is taken relative to
    // installDir; the result is made absolute against the working directory.
    path complete(const path& given) const;

  private:
    path installDir_;
    path confDir_;
    path configFile_;
    path serverAllowFile_;
    path tempDir_;
    path rsaKeyFile_;
    path rsaPublicKeyFile_;
    path backupKeyFile_;
    path dbDir_;
    path backupAllowDir_;
    path logDir_;
    path logFile_;
    bool recovery_ = false;
    bool ipAuthentication_ = false;
    bool acceptProtocol2_ = true;
    bool refuseProtocol1_ = false;
    std::uint16_t sessionKeyBits_ = 128;
    std::uint16_t localPort_ = 1167;
    std::int32_t timeout_ = 160;
    std::int32_t vssTimeout_ = 1200;
};

// The process-wide record; empty until published. Safe to call from any thread.
std::shared_ptr<AgentOptions> agentOptions();
void setAgentOptions(std::shared_ptr<AgentOptions> options);

}  // namespace agent
