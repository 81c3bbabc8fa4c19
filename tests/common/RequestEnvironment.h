// What a request needs from the agent besides its connection, for tests that run requests
// without an agent: a change tracker that knows no driver, an empty running-backups count and
// the agent's directories inside a temporary folder.
#pragma once

#include "common/TempDir.h"
#include "filter/ChangeTracker.h"
#include "requests/RequestContext.h"
#include "requests/RunningBackups.h"

namespace test {

struct RequestEnvironment {
    TempDir dir;
    filter::ChangeTracker changeTracker;
    requests::RunningBackups runningBackups;
    requests::RequestContext context{changeTracker,
                                     runningBackups,
                                     dir.path() / "db",
                                     dir.path() / "db" / "backup.allow",
                                     dir.path() / "temp",
                                     1200,
                                     {}};
};

}  // namespace test
