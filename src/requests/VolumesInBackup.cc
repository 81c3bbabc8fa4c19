#include "requests/VolumesInBackup.h"

namespace requests {

std::mutex& VolumesInBackup::mutex() {
    static std::mutex instance;  // guards claimed()
    return instance;
}

std::set<std::wstring>& VolumesInBackup::claimed() {
    static std::set<std::wstring> volumes;
    return volumes;
}

std::unique_ptr<VolumesInBackup::Claim> VolumesInBackup::tryClaim(const std::wstring& volume) {
    std::lock_guard<std::mutex> lock(mutex());
    if (!claimed().insert(volume).second)
        return nullptr;
    return std::make_unique<Claim>(volume);
}

VolumesInBackup::Claim::~Claim() {
    std::lock_guard<std::mutex> lock(mutex());
    claimed().erase(volume_);
}

}  // namespace requests
