#include "platform/emulated/snapshot/ServiceState.h"

#include <chrono>
#include <cstdio>
#include <exception>

#include "platform/EventLog.h"
#include "platform/System.h"
#include "platform/emulated/snapshot/EventLogFile.h"

namespace platform::emulated {
namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;

std::int64_t fileTimeNow() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochAsFileTime +
           std::chrono::duration_cast<std::chrono::microseconds>(since).count() * 10;
}

}  // namespace

ServiceState::ServiceState(Host& h) : host(h), config(SnapshotConfig::from(h.config())) {}

ServiceState::~ServiceState() {
    releaseSnapshots();
}

void ServiceState::releaseSnapshots() {
    SnapshotRegistry registry(host);
    for (const SnapshotRecord& snapshot : created) {
        try {
            registry.remove(snapshot.number);
        } catch (const std::exception&) {
            // Left for the stale-entry clean-up of a later change.
        }
    }
    created.clear();
}

void ServiceState::logFailure(const std::string& step, HResult code) {
    char text[160];
    std::snprintf(text, sizeof text, "Volume Shadow Copy Service error: %s failed with 0x%08x.",
                  step.c_str(), static_cast<unsigned>(code));
    try {
        EventLogFile(host, L"Application").append(L"VSS", kEventTypeError, 8193, {toWide(text)});
    } catch (const std::exception&) {
        // The failure itself still reaches the caller.
    }
}

HResult ServiceState::injectedFailure(const std::string& step) {
    HResult failure = config.step(step).failure;
    if (failed(failure))
        logFailure(step, failure);
    return failed(failure) ? failure : kSOk;
}

HResult ServiceState::takeSnapshots() {
    SnapshotRegistry registry(host);
    std::int64_t now = fileTimeNow();
    try {
        for (const PendingSnapshot& volume : pending) {
            SnapshotRecord record;
            record.snapshotId = volume.snapshotId;
            record.setId = setId;
            record.created = now;
            record.length = volume.length;
            record.volumeName = volume.volumeName;
            record.extents = volume.extents;
            created.push_back(registry.create(record));
        }
    } catch (const std::exception&) {
        logFailure("DoSnapshotSet", kVssEUnexpectedProviderError);
        return kVssEUnexpectedProviderError;
    }
    snapshotsDone = true;
    lastStep = "DoSnapshotSet";
    return kSOk;
}

const WriterConfig* ServiceState::writer(const Guid& instanceId, const Guid& writerId) const {
    for (const WriterConfig& w : config.writers()) {
        if (w.identity.instanceId == instanceId && w.identity.writerId == writerId)
            return &w;
    }
    return nullptr;
}

}  // namespace platform::emulated
