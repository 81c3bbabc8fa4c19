// A fresh emulated host in a temporary folder, initialised by hostsim and made this
// process's host (ZENTRAD_HOST_ROOT) for as long as the object lives; the folder goes with
// it. Tests that open devices through the seam build their hosts on it.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/Hostsim.h"
#include "common/TempDir.h"

namespace test {

class EmulatedHost {
  public:
    EmulatedHost() {
        ::setenv("ZENTRAD_HOST_ROOT", dir_.path().c_str(), 1);
        sim("init");
    }
    ~EmulatedHost() { ::unsetenv("ZENTRAD_HOST_ROOT"); }
    EmulatedHost(const EmulatedHost&) = delete;
    EmulatedHost& operator=(const EmulatedHost&) = delete;

    const std::filesystem::path& root() const { return dir_.path(); }
    // Runs hostsim on this host; returns its output (fails the test when hostsim fails).
    std::string sim(const std::string& arguments) const { return hostsim(root(), arguments); }
    std::filesystem::path diskImage(std::uint32_t disk) const {
        return root() / "disks" / (std::to_string(disk) + ".img");
    }
    // Appends lines to the host's configuration (host.conf).
    void appendConfig(const std::string& text) const {
        std::ofstream(root() / "host.conf", std::ios::app) << text;
    }

  private:
    TempDir dir_;
};

}  // namespace test
