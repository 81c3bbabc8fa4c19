#include "AgentProcess.h"

#include "backup-server/store/Store.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/ChildProcess.h"
#include "common/Hostsim.h"
#include "crypto/CryptoLibrary.h"
#include "net/TcpListener.h"
#include "net/TcpSocket.h"
#include "runtime/Exceptions.h"
#include "util/FileUtil.h"

extern char** environ;

namespace test {
namespace {

namespace fs = std::filesystem;

const char* const kAgentBinary = ZENTRAD_BINARY_DIR "/src/agent/zentrad";

// Until a suite sets its own, the bound the backup-server tool uses.
std::atomic<std::int32_t> serverTimeoutSeconds{backup_server::AgentSession::kTimeoutSeconds};

}  // namespace

void prepareServerSide(int timeoutSeconds) {
    crypto::CryptoLibrary::initialise();
    serverTimeoutSeconds.store(timeoutSeconds);
}

std::int32_t serverTimeout() {
    return serverTimeoutSeconds.load();
}

std::uint16_t freePort() {
    net::TcpListener probe;
    probe.bind(platform::kLoopbackAddress, 0);
    return probe.localPort();
}

std::unique_ptr<TempDir> newStoreFolder() {
    auto folder = std::make_unique<TempDir>();
    backup_server::createStore(folder->path());
    return folder;
}

const backup_server::ServerKeys& serverKeys(const std::string& name) {
    static TempDir keysRoot;
    static std::map<std::string, backup_server::ServerKeys> keys;
    auto found = keys.find(name);
    if (found == keys.end()) {
        found = keys.emplace(name, backup_server::ServerKeys::create(keysRoot.path() / name)).first;
    }
    return found->second;
}

AgentSettings patientAgentSettings() {
    AgentSettings settings;
    settings.timeoutSeconds = 600;
    return settings;
}

std::unique_ptr<AgentProcess> agentOnHost(AgentSettings settings,
                                          const std::vector<std::string>& hostsimCommands) {
    auto agent = std::make_unique<AgentProcess>(std::move(settings));
    agent->sim("init");
    for (const std::string& command : hostsimCommands)
        agent->sim(command);
    return agent;
}

std::string backupServerCommand(const std::filesystem::path& keys, std::uint16_t port,
                                const std::string& arguments) {
    return std::string(ZENTRAD_BINARY_DIR "/tools/backup-server/backup-server") + " --keys '" +
           keys.string() + "' --port " + std::to_string(port) + " " + arguments;
}

ToolRun runBackupServer(const std::filesystem::path& keys, std::uint16_t port,
                        const std::string& arguments, const std::filesystem::path& scratch) {
    fs::path out = scratch / "backup-server.out";
    std::string command =
        backupServerCommand(keys, port, arguments) + " > '" + out.string() + "' 2>&1";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile(out)};
}

bool hasLogRecord(const backup_server::AgentSession& session, net::Code code,
                  const std::string& text) {
    for (const auto& record : session.logRecords()) {
        if (record.code == code && record.text == text)
            return true;
    }
    return false;
}

std::string closingReason(backup_server::AgentSession& session) {
    try {
        for (int i = 0; i < 1000; ++i)
            session.readCode();
        return "(no PROT_ERROR from the agent)";
    } catch (const runtime::AgentException& error) {
        if (error.message() != "Remote host has reported an error and closed the connection.")
            return error.message();
    } catch (const std::exception& error) {
        return std::string("(connection failed: ") + error.what() + ")";
    }
    return lastErrorRecord(session);
}

std::string lastErrorRecord(const backup_server::AgentSession& session) {
    const auto& records = session.logRecords();
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (it->code == net::PROT_LOG_ERROR)
            return it->text;
    }
    return "(no ERROR record)";
}

AgentProcess::AgentProcess(AgentSettings settings)
    : settings_(std::move(settings)),
      installDir_(dir_.path() / "agent"),
      hostRoot_(dir_.path() / "host") {
    port_ = freePort();
    statusPort_ = freePort();
    writeConfiguration();
}

AgentProcess::~AgentProcess() {
    if (pid_ > 0)
        stop();
}

void AgentProcess::writeConfiguration() {
    fs::create_directories(configDir());
    fs::create_directories(hostRoot_ / "driver");  // the change-tracking driver is installed
    std::ofstream config(configDir() / "zentrad.conf");
    config << "LocalPort = " << port_ << "\n"
           << "Timeout = " << settings_.timeoutSeconds << "\n"
           << "IPAuthentication = " << (settings_.ipAuthentication ? "true" : "false") << "\n"
           << settings_.extraConfig;
    if (!settings_.hostConfig.empty())
        std::ofstream(hostRoot_ / "host.conf") << settings_.hostConfig;
}

std::vector<std::string> AgentProcess::environment() const {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string variable(*entry);
        if (variable.rfind("ZENTRAD_", 0) != 0)
            variables.push_back(variable);
    }
    variables.push_back("ZENTRAD_INSTALL_DIR=" + installDir_.string());
    variables.push_back("ZENTRAD_HOST_ROOT=" + hostRoot_.string());
    variables.push_back("ZENTRAD_STATUS_PORT=" + std::to_string(statusPort_));
    return variables;
}

void AgentProcess::start() {
    std::vector<std::string> arguments{kAgentBinary};
    arguments.insert(arguments.end(), settings_.arguments.begin(), settings_.arguments.end());
    std::vector<std::string> variables = environment();
    // Everything the child needs is prepared before fork: only exec-safe calls follow it.
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::string output = (dir_.path() / "agent.out").string();

    pid_ = ::fork();
    if (pid_ == 0) {
        FILE* out = std::freopen(output.c_str(), "w", stdout);
        if (out != nullptr)
            ::dup2(::fileno(stdout), STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (!waitForLog("Listening for backup servers on port", std::chrono::seconds(30))) {
        std::string out = readWholeFile(output);
        stop();
        throw std::runtime_error("the agent did not start listening:\n" + out);
    }
}

int AgentProcess::stop() {
    // Far longer than any test runs: in effect, until the agent has exited.
    return stopWithin(std::chrono::hours(1));
}

int AgentProcess::stopWithin(std::chrono::milliseconds limit) {
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string AgentProcess::log() const {
    return readWholeFile(logFile());
}

bool AgentProcess::waitForLog(const std::string& text, std::chrono::milliseconds limit,
                              std::size_t from) const {
    return waitUntil([&] { return log().find(text, from) != std::string::npos; }, limit);
}

void AgentProcess::allowServer(const backup_server::ServerKeys& keys, const std::string& fileName) {
    fs::create_directories(serverAllowDir());
    util::files::writeFileAtomically(serverAllowDir() / fileName, keys.publicPem());
}

std::unique_ptr<backup_server::AgentSession> AgentProcess::connect() const {
    return backup_server::AgentSession::connect("127.0.0.1", port_, serverTimeout());
}

std::unique_ptr<backup_server::AgentSession> AgentProcess::openSession(
    const backup_server::ServerKeys& keys, std::uint32_t offer) const {
    auto session = connect();
    session->setOfferedVersion(offer);
    if (session->handshake(keys) != backup_server::HandshakeOutcome::authenticated) {
        throw std::runtime_error("the agent did not admit the server");
    }
    return session;
}

std::string AgentProcess::sim(const std::string& arguments) const {
    return hostsim(hostRoot_, arguments);
}

void AgentProcess::put(const std::string& volume, const std::string& path,
                       const std::string& content) const {
    fs::path staged = dir_.path() / "put-content";
    std::ofstream(staged, std::ios::binary) << content;
    sim("put " + volume + " '" + staged.string() + "' " + path);
    fs::remove(staged);
}

}  // namespace test
