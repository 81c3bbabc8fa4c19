#include "blocks/BlockRun.h"

#include <algorithm>
#include <future>
#include <limits>
#include <string>

#include "blocks/BufferPool.h"
#include "blocks/Md5Stream.h"
#include "runtime/Exceptions.h"

namespace blocks {
namespace {

bool readWhole(platform::FileHandle& volume, std::uint64_t offset, unsigned char* buffer,
               std::uint64_t length) {
    std::uint32_t got = 0;
    return offset <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) &&
           platform::setFilePointerEx(volume, static_cast<std::int64_t>(offset), nullptr,
                                      platform::kFileBegin) &&
           platform::readFile(volume, buffer, static_cast<std::uint32_t>(length), &got) &&
           got == length;
}

// Runs at least this long are hashed on two threads.
constexpr std::size_t kSharedDigestBlocks = 64;

// The digests of out[from..to): one MD5 context for them, not one per block. Fails as
// Block::computeDigest does.
void digestRange(std::vector<BlockPtr>& out, std::size_t from, std::size_t to) {
    std::size_t next = from;
    try {
        Md5Stream digest;
        for (; next < to; ++next)
            out[next]->setDigest(digest.digestOf(out[next]->getData(), out[next]->length()));
    } catch (const runtime::AgentException&) {
        std::uint64_t index = out[std::min(next, to - 1)]->index();
        ZENTRAD_THROW(runtime::AgentException,
                      "error computing MD5 of block " + std::to_string(index));
    }
}

// The digests of out[from..]. MD5 is most of a digest-compared backup's work and the
// reading thread alone would leave a core idle, so a long run's second half is hashed on
// a helper thread meanwhile.
void digestRun(std::vector<BlockPtr>& out, std::size_t from) {
    std::size_t count = out.size() - from;
    if (count < kSharedDigestBlocks) {
        digestRange(out, from, out.size());
        return;
    }
    std::size_t middle = from + count / 2;
    // Should the first half fail, the future's destructor still waits for the helper.
    auto helper =
        std::async(std::launch::async, [&out, middle] { digestRange(out, middle, out.size()); });
    digestRange(out, from, middle);
    helper.get();
}

}  // namespace

void loadBlockRun(platform::FileHandle& volume, std::uint64_t first, std::uint64_t count,
                  std::uint64_t size, std::vector<BlockPtr>& out) {
    if (count == 0)
        return;
    if (size == 0 || size > kRunBytes || count > kRunBytes / size ||
        first > std::numeric_limits<std::uint64_t>::max() / size - count) {
        ZENTRAD_THROW(runtime::DiskException, "Invalid block run");
    }
    std::uint64_t length = count * size;
    BlockBuffer run = runBuffers().take(kRunBytes);  // any run fits any buffer
    if (count > 1 && readWhole(volume, first * size, run.get(), length)) {
        for (std::uint64_t i = 0; i < count; ++i) {
            // Aliases the run's buffer: no copy per block.
            BlockBuffer data(run, run.get() + i * size);
            out.push_back(
                std::make_shared<Block>(first + i, size, std::move(data), size, false, false));
        }
        digestRun(out, out.size() - count);
        return;
    }
    // One block, or a run that failed somewhere: each block with the single-block rules,
    // so a bad cluster costs only itself.
    for (std::uint64_t i = 0; i < count; ++i) {
        auto block = std::make_shared<Block>(first + i, size);
        block->load(volume, first + i);
        block->computeDigest();
        out.push_back(std::move(block));
    }
}

}  // namespace blocks
