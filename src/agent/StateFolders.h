// The folders that hold the agent's keys, allow lists and block digests. Anyone who can
// write to them can authorise a backup server of their own, and anyone who can read them
// can read the private key, so they are SYSTEM's and the Administrators' alone.
#pragma once

#include <filesystem>
#include <vector>

namespace agent {

class AgentOptions;

// The configuration folder (keys, server allow list), the database folder (backup allow
// list) and the temporary folder (block digests) of the options.
std::vector<std::filesystem::path> stateFolders(const AgentOptions& options);

// Creates each folder that is missing with the protected access list, and gives it to each
// existing folder, and to anything inside it, whose access list lets anyone else in (with a
// WARN naming the item and who could reach it). Throws runtime::AgentException naming the
// item and the system error when one cannot be created, read or protected: the agent does
// not run with its keys open.
void secureStateFolders(const std::vector<std::filesystem::path>& folders);

}  // namespace agent
