// The values the modules below the agent take from its options, gathered in one place: those
// modules never read the options themselves, they are handed what they need.
#pragma once

#include "agent/AgentOptions.h"
#include "crypto/KeyStore.h"
#include "filter/ChangeTracker.h"
#include "net/AdmissionSettings.h"
#include "requests/RequestContext.h"
#include "requests/RunningBackups.h"

namespace agent {

crypto::encryption::KeyFilePaths keyFilePaths(const agent::AgentOptions& options);

net::AdmissionSettings admissionSettings(const agent::AgentOptions& options);

// The context of every request; the tracker and the count must outlive every connection.
requests::RequestContext requestContext(const agent::AgentOptions& options,
                                        filter::ChangeTracker& changeTracker,
                                        requests::RunningBackups& runningBackups);

}  // namespace agent
