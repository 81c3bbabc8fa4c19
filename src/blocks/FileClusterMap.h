// The clusters a file occupies on its volume, as runs from a starting logical cluster,
// so a backup can leave out files whose contents never need restoring (the page file and
// the hibernation file). Not thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "blocks/BlockMap.h"
#include "platform/File.h"

namespace blocks {

class FileClusterMap {
  public:
    // root: the volume's path, to which file paths are appended (no trailing backslash).
    explicit FileClusterMap(std::wstring root) : root_(std::move(root)) {}
    virtual ~FileClusterMap() = default;

    virtual void clear() { runs_.clear(); }

    // Adds the runs of root + path (a backslash is put in front of path when missing).
    // False when the file cannot be opened or its extents cannot be read; never throws.
    virtual bool load(const std::wstring& path);

    // Adds the runs of an open file's extents (the file's retrieval pointers, asked for
    // with a buffer that doubles from 4096 bytes while the reply does not fit). False when
    // the request fails or its reply is malformed.
    bool loadFrom(platform::FileHandle& file);

    // Clears every cluster of every run that lies inside the map.
    void clearClustersIn(BlockMap& map) const;

    // Starting logical cluster → number of clusters.
    const std::map<std::int64_t, std::int64_t>& runs() const { return runs_; }

  private:
    bool addExtents(const unsigned char* reply, std::uint32_t replyBytes);

    std::wstring root_;
    std::map<std::int64_t, std::int64_t> runs_;
};

}  // namespace blocks
