// Remembers where the Application event log ends when built, and on request copies the
// snapshot service's entries written since ("VSS" and "VOLSNAP" sources) into the
// agent's log at ERROR. Belongs to one backup request.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/EventLogReader.h"

namespace vssclient {

class WindowsEventListener {
  public:
    // Throws runtime::AgentException when the log cannot be opened or measured.
    WindowsEventListener();
    WindowsEventListener(const WindowsEventListener&) = delete;
    WindowsEventListener& operator=(const WindowsEventListener&) = delete;

    // Logs the snapshot service's entries written since construction. Never throws.
    void logNewEvents();

  private:
    void logRecord(const platform::EventLogRecord& record);

    bool active = false;
    std::unique_ptr<platform::EventLogReader> eventLog;
    std::uint32_t recordCount = 0;
    std::uint32_t oldestRecord = 0;
};

}  // namespace vssclient
