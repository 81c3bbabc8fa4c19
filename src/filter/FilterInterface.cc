#include "filter/FilterInterface.h"

namespace filter {

ChangeTracker& FilterInterface::instance() {
    static ChangeTracker tracker;
    return tracker;
}

bool FilterInterface::open() {
    return instance().open();
}

void FilterInterface::startMonitor() {
    instance().startMonitor();
}

void FilterInterface::stopMonitor() {
    instance().stopMonitor();
}

bool FilterInterface::getJournalKey(const std::wstring& volumeName, JournalKey& key) {
    return instance().getJournalKey(volumeName, key);
}

std::unique_ptr<MapBitmap> FilterInterface::takeChanges(const std::wstring& volumeName,
                                                        const JournalKey& presentedKey) {
    return instance().takeChanges(volumeName, presentedKey);
}

std::unique_ptr<MapBitmap> FilterInterface::copyChanges(const std::wstring& volumeName) {
    return instance().copyChanges(volumeName);
}

void FilterInterface::StartChangeTracking(const std::wstring& volumeName) {
    instance().startChangeTracking(volumeName);
}

}  // namespace filter
