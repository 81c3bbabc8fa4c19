// backup-server: a command-line backup server for the agent's protocol.
//   backup-server [--keys DIR] [--host HOST] [--port PORT] COMMAND [ARGUMENTS...]
#include <boost/program_options.hpp>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/CommandLine.h"
#include "backup-server/commands/OperatorText.h"
#include "backup-server/store/StoreLock.h"
#include "crypto/CryptoLibrary.h"
#include "net/SocketException.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace po = boost::program_options;

namespace {

int usageError(const backup_server::CommandInfo* command, const std::string& message) {
    std::cerr << "backup-server";
    if (command != nullptr)
        std::cerr << " " << command->name;
    std::cerr << ": " << message << "\n";
    if (command != nullptr)
        std::cerr << "usage: backup-server [options] " << command->usage << "\n";
    std::cerr << "(backup-server --help lists options, commands and exit statuses)\n";
    return backup_server::kExitUsage;
}

int failure(int status, const std::string& message) {
    std::cerr << "backup-server: " << backup_server::withoutSourceLocations(message) << "\n";
    return status;
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

int runCommand(const backup_server::CommandInfo& command, backup_server::CommandContext& context) {
    using namespace backup_server;
    try {
        return command.run(context);
    } catch (const UsageError& error) {
        return usageError(&command, error.what());
    } catch (const AgentUnreachable& error) {
        return failure(kExitUnreachable, error.what());
    } catch (const StoreInUse& error) {
        return failure(kExitStoreInUse, error.what());
    } catch (const net::SocketException& error) {
        return failure(kExitFailed, inLocalWords(error.message()));
    } catch (const std::exception& error) {
        return failure(kExitFailed, error.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    keepFreedMemory();
    using namespace backup_server;
    po::options_description options = commandLineOptions();
    ParsedCommandLine line;
    try {
        parseCommandLine(argc, argv, options, line);
    } catch (const UsageError& error) {
        return usageError(line.command, error.what());
    } catch (const po::error& error) {
        return usageError(line.command, error.what());
    }
    if (line.printed)
        return line.printedStatus;
    crypto::CryptoLibrary::initialise();
    line.context.out = &std::cout;
    return runCommand(*line.command, line.context);
}
