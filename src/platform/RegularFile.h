// Reading a small configuration file that must be a regular file: a pipe, device or socket
// put where a file was expected is refused without waiting for a writer.
//
// Where the hosts differ: the emulated host opens with O_NONBLOCK and checks the opened
// descriptor, so a file swapped for a FIFO between a listing and the read is refused too;
// on Windows a named pipe cannot stand in a directory, and the opened handle's file type
// must be a disk file.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace platform {

enum class RegularFileRead { ok, missing, notRegular, tooLarge, failed };

// Reads at most maxBytes of a regular file into content; anything larger gives tooLarge
// (content then unspecified).
RegularFileRead readRegularFile(const std::filesystem::path& path, std::size_t maxBytes,
                                std::string& content);

}  // namespace platform
