#include "platform/emulated/HostConfig.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace platform::emulated {
namespace {

std::string trim(const std::string& text) {
    auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    auto end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

HostConfig HostConfig::load(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return HostConfig{};
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str(), file.string());
}

HostConfig HostConfig::parse(const std::string& text, const std::string& origin) {
    HostConfig config;
    config.sections_.push_back(Section{"", {}});
    std::istringstream in(text);
    std::string line;
    std::string current;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string content = trim(line);
        if (content.empty() || content[0] == '#' || content[0] == ';')
            continue;
        if (content.front() == '[') {
            if (content.back() != ']') {
                throw std::runtime_error(origin + ":" + std::to_string(number) +
                                         ": unterminated section header");
            }
            // A repeated header reopens the earlier section.
            current = trim(content.substr(1, content.size() - 2));
            if (config.find(current) == nullptr)
                config.sections_.push_back(Section{current, {}});
            continue;
        }
        auto equals = content.find('=');
        if (equals == std::string::npos || trim(content.substr(0, equals)).empty()) {
            throw std::runtime_error(origin + ":" + std::to_string(number) +
                                     ": expected key = value");
        }
        config.add(current, trim(content.substr(0, equals)), trim(content.substr(equals + 1)));
    }
    return config;
}

HostConfig::Section* HostConfig::find(const std::string& section) {
    for (auto& s : sections_) {
        if (s.name == section)
            return &s;
    }
    return nullptr;
}

const HostConfig::Section* HostConfig::find(const std::string& section) const {
    for (const auto& s : sections_) {
        if (s.name == section)
            return &s;
    }
    return nullptr;
}

std::optional<std::string> HostConfig::get(const std::string& section,
                                           const std::string& key) const {
    const Section* s = find(section);
    if (s == nullptr)
        return std::nullopt;
    for (auto it = s->entries.rbegin(); it != s->entries.rend(); ++it) {
        if (it->first == key)
            return it->second;
    }
    return std::nullopt;
}

std::string HostConfig::get(const std::string& section, const std::string& key,
                            const std::string& fallback) const {
    return get(section, key).value_or(fallback);
}

std::vector<std::string> HostConfig::getAll(const std::string& section,
                                            const std::string& key) const {
    std::vector<std::string> values;
    if (const Section* s = find(section)) {
        for (const auto& [k, v] : s->entries) {
            if (k == key)
                values.push_back(v);
        }
    }
    return values;
}

std::vector<std::string> HostConfig::sections() const {
    std::vector<std::string> names;
    for (const auto& s : sections_) {
        if (!s.name.empty())
            names.push_back(s.name);
    }
    return names;
}

bool HostConfig::hasSection(const std::string& section) const {
    return find(section) != nullptr;
}

void HostConfig::set(const std::string& section, const std::string& key, const std::string& value) {
    remove(section, key);
    add(section, key, value);
}

void HostConfig::add(const std::string& section, const std::string& key, const std::string& value) {
    Section* s = find(section);
    if (s == nullptr) {
        sections_.push_back(Section{section, {}});
        s = &sections_.back();
    }
    s->entries.emplace_back(key, value);
}

void HostConfig::remove(const std::string& section, const std::string& key) {
    if (Section* s = find(section)) {
        std::erase_if(s->entries, [&](const auto& entry) { return entry.first == key; });
    }
}

void HostConfig::removeSection(const std::string& section) {
    std::erase_if(sections_,
                  [&](const Section& s) { return !s.name.empty() && s.name == section; });
}

std::string HostConfig::text() const {
    std::string out;
    for (const auto& s : sections_) {
        if (s.name.empty() && s.entries.empty())
            continue;
        if (!s.name.empty())
            out += (out.empty() ? "" : "\n") + std::string("[") + s.name + "]\n";
        for (const auto& [k, v] : s.entries)
            out += k + " = " + v + "\n";
    }
    return out;
}

void HostConfig::save(const std::filesystem::path& file) const {
    std::filesystem::path temporary = file;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text();
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write " + temporary.string());
    }
    std::filesystem::rename(temporary, file);
}

}  // namespace platform::emulated
