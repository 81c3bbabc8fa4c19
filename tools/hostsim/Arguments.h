// Small helpers for hostsim's command lines: options of the form "--name value" and
// "--flag", sizes such as "64M", and numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace hostsim {

// A user error: printed as "hostsim: " + message, exit code 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Arguments {
  public:
    // flags: option names that take no value ("--random").
    Arguments(const std::vector<std::string>& args, const std::vector<std::string>& flags);

    std::optional<std::string> option(const std::string& name) const;
    std::string required(const std::string& name) const;
    std::vector<std::string> all(const std::string& name) const;
    bool flag(const std::string& name) const;
    // The arguments that are not options, in order; exactly count of them are required.
    std::vector<std::string> positional(std::size_t count) const;

  private:
    std::vector<std::pair<std::string, std::string>> options_;
    std::vector<std::string> flags_;
    std::vector<std::string> positional_;
};

// "4096", "64K", "64M", "2G", "2048s" (512-byte sectors). Throws UsageError.
std::uint64_t parseSize(const std::string& text);
// Decimal or 0x-prefixed hexadecimal. Throws UsageError.
std::uint64_t parseNumber(const std::string& text);

}  // namespace hostsim
