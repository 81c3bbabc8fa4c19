#include "disk/Sector.h"

#include <new>
#include <sstream>

#include "runtime/Exceptions.h"

namespace disk {

using runtime::AgentException;

Sector::Sector(std::uint32_t size, std::uint64_t offset) : offset_(offset), size_(size) {
    try {
        data_.assign(size, 0);
    } catch (const std::bad_alloc&) {
        ZENTRAD_THROW(AgentException, "failed to allocate memory");
    }
}

std::string Sector::toString() const {
    std::ostringstream text;
    text << "Sector at offset: " << offset_ << "\n\tsectorSize (" << size_ << ")\n";
    return text.str();
}

bool Sector::hasBootSignature() const {
    return size_ >= kBytes && data_[510] == 0x55 && data_[511] == 0xAA;
}

}  // namespace disk
