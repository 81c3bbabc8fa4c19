#include "agent/ModuleSettings.h"

namespace agent {

crypto::encryption::KeyFilePaths keyFilePaths(const agent::AgentOptions& options) {
    return {options.rsaKeyFile(), options.rsaPublicKeyFile(), options.backupKeyFile()};
}

net::AdmissionSettings admissionSettings(const agent::AgentOptions& options) {
    net::AdmissionSettings settings;
    settings.recovery = options.recovery();
    settings.ipAuthentication = options.ipAuthentication();
    settings.timeoutSeconds = options.timeout();
    settings.serverAllowDir = options.serverAllowFile();
    settings.backupAllowDir = options.backupAllowDir();
    settings.keyFiles = keyFilePaths(options);
    settings.sessionKeyBits = options.sessionKeyBits();
    settings.acceptProtocol2 = options.acceptProtocol2();
    settings.refuseProtocol1 = options.refuseProtocol1();
    return settings;
}

requests::RequestContext requestContext(const agent::AgentOptions& options,
                                        filter::ChangeTracker& changeTracker,
                                        requests::RunningBackups& runningBackups) {
    return requests::RequestContext{
        changeTracker,     runningBackups,       options.dbDir(),      options.backupAllowDir(),
        options.tempDir(), options.vssTimeout(), keyFilePaths(options)};
}

}  // namespace agent
