#include "backup-server/objects/ParallelFor.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace backup_server::objects {

void parallelFor(std::uint64_t count, unsigned threads,
                 const std::function<void(std::uint64_t)>& work) {
    std::atomic<std::uint64_t> next{0};
    std::mutex mutex;
    std::exception_ptr failure;
    auto run = [&] {
        for (std::uint64_t i; (i = next++) < count;) {
            try {
                work(i);
            } catch (...) {
                std::lock_guard lock(mutex);
                if (!failure)
                    failure = std::current_exception();
                next = count;
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        std::uint64_t wanted = std::min<std::uint64_t>(std::max(1u, threads), count);
        for (std::uint64_t i = 1; i < wanted; ++i)
            helpers.emplace_back(run);
        run();
    }
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace backup_server::objects
