// Work on many independent items from a few threads, for the round trips of an object store
// that would otherwise be waited out one after the other.
#pragma once

#include <cstdint>
#include <functional>

namespace backup_server::objects {

// Calls work(i) once for every i below count, from up to `threads` threads (the calling one
// among them), and returns when all are done. The first exception stops items not yet
// begun and is rethrown here.
void parallelFor(std::uint64_t count, unsigned threads,
                 const std::function<void(std::uint64_t)>& work);

}  // namespace backup_server::objects
