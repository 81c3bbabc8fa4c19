// Progress of long work on the tool's output: on a terminal one live line, rewritten at
// most a few times a second; otherwise a plain line every interval (30 s by default), so
// logs stay short. Each shows units done of the total, percent, MB/s and time left.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace backup_server {

class Progress {
  public:
    // live: out is a terminal. what names the work ("backup", "restore", ...), unit the
    // units counted ("blocks", "chunks").
    Progress(std::ostream& out, bool live, std::string what, std::string unit,
             std::chrono::milliseconds interval = std::chrono::seconds(30));
    // Whether standard output is a terminal.
    static bool outputIsTerminal();

    void setTotal(std::uint64_t total) { total_ = total; }
    // done of the total, with the bytes moved so far (for the rate).
    void update(std::uint64_t done, std::uint64_t bytes);
    // Ends a live line (the caller prints its summary next).
    void finish();

  private:
    std::string line(std::uint64_t done, std::uint64_t bytes) const;

    std::ostream& out_;
    bool live_;
    std::string what_;
    std::string unit_;
    std::chrono::milliseconds interval_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
    std::uint64_t total_ = 0;
    bool shown_ = false;
};

}  // namespace backup_server
