// host.conf: the emulated host's small text configuration.
//
//   # comment
//   [section name]        sections may repeat a kind with a name: [disk 1], [volume X]
//   key = value           keys before the first section belong to section ""
//
// Keys may repeat inside a section; all values are kept in order.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform::emulated {

class HostConfig {
  public:
    // Reads the file; a missing file gives an empty configuration. Malformed lines throw
    // std::runtime_error naming the file and line.
    static HostConfig load(const std::filesystem::path& file);
    static HostConfig parse(const std::string& text, const std::string& origin = "host.conf");

    // The last value of key in section, if any.
    std::optional<std::string> get(const std::string& section, const std::string& key) const;
    std::string get(const std::string& section, const std::string& key,
                    const std::string& fallback) const;
    // Every value of key in section, in file order.
    std::vector<std::string> getAll(const std::string& section, const std::string& key) const;
    // Names of the sections, in file order (each once).
    std::vector<std::string> sections() const;
    bool hasSection(const std::string& section) const;

    // Editing, for hostsim: set replaces every value of key; add appends one.
    void set(const std::string& section, const std::string& key, const std::string& value);
    void add(const std::string& section, const std::string& key, const std::string& value);
    void remove(const std::string& section, const std::string& key);
    void removeSection(const std::string& section);
    std::string text() const;
    // Writes atomically (temporary file and rename).
    void save(const std::filesystem::path& file) const;

  private:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> entries;
    };
    Section* find(const std::string& section);
    const Section* find(const std::string& section) const;

    std::vector<Section> sections_;
};

}  // namespace platform::emulated
