#include "platform/emulated/snapshot/SnapshotConfig.h"

#include <sstream>
#include <stdexcept>

#include "platform/System.h"
#include "platform/emulated/snapshot/GuidText.h"

namespace platform::emulated {
namespace {

const char* const kServiceSection = "snapshot service";
const char* const kSteps[] = {"CreateVssBackupComponents",
                              "InitializeForBackup",
                              "SetBackupState",
                              "GatherWriterMetadata",
                              "AddComponent",
                              "GatherWriterStatus",
                              "StartSnapshotSet",
                              "AddToSnapshotSet",
                              "PrepareForBackup",
                              "DoSnapshotSet",
                              "SetBackupSucceeded",
                              "BackupComplete",
                              "AbortBackup",
                              "Query",
                              "GetSnapshotProperties"};

std::string trim(const std::string& text) {
    auto begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

std::vector<std::string> fields(const std::string& value) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (true) {
        std::size_t bar = value.find('|', start);
        out.push_back(
            trim(value.substr(start, bar == std::string::npos ? std::string::npos : bar - start)));
        if (bar == std::string::npos)
            return out;
        start = bar + 1;
    }
}

std::uint64_t number(const std::string& key, const std::string& text) {
    try {
        std::size_t used = 0;
        unsigned long long value = std::stoull(text, &used, 0);
        if (used == text.size())
            return value;
    } catch (const std::exception&) {
        // Out of range or no digits: refused below with the setting named, like trailing
        // text.
    }
    throw std::runtime_error("host.conf: " + key + " = " + text + ": not a number");
}

bool choice(const std::string& key, const std::string& text, const char* yes, const char* no) {
    if (text == yes)
        return true;
    if (text == no)
        return false;
    throw std::runtime_error("host.conf: " + key + ": expected " + yes + " or " + no + ", got '" +
                             text + "'");
}

WriterState parseState(const std::string& key, const std::string& value) {
    std::istringstream in(value);
    std::string state, failure;
    in >> state >> failure;
    WriterState result;
    result.state = static_cast<std::int32_t>(number(key, state));
    if (!failure.empty())
        result.failure = static_cast<HResult>(number(key, failure));
    return result;
}

Guid guidOrDerived(const HostConfig& config, const std::string& section, const std::string& key,
                   const std::string& seed) {
    auto text = config.get(section, key);
    if (!text)
        return guidFromName(seed);
    auto guid = parseGuidText(*text);
    if (!guid)
        throw std::runtime_error("host.conf: [" + section + "] " + key + ": not a GUID");
    return *guid;
}

VssFileDescription fileDescription(const std::string& key, const std::vector<std::string>& f,
                                   std::size_t at) {
    if (f.size() != at + 3)
        throw std::runtime_error("host.conf: " + key + ": expected " + std::to_string(at + 3) +
                                 " fields");
    VssFileDescription d;
    d.path = toWide(f[at]);
    d.filespec = toWide(f[at + 1]);
    d.recursive = choice(key, f[at + 2], "recursive", "flat");
    return d;
}

void readComponents(const HostConfig& config, const std::string& section, WriterConfig& writer) {
    for (const std::string& value : config.getAll(section, "component")) {
        std::vector<std::string> f = fields(value);
        if (f.size() != 4)
            throw std::runtime_error("host.conf: [" + section + "] component: expected 4 fields");
        VssComponentInfo c;
        c.logicalPath = toWide(f[0]);
        c.componentName = toWide(f[1]);
        c.type =
            choice("component", f[2], "database", "filegroup") ? kVssCtDatabase : kVssCtFilegroup;
        c.selectable = choice("component", f[3], "selectable", "fixed");
        c.caption = c.componentName;
        writer.components.push_back(c);
    }
    const char* kinds[] = {"file", "database file", "log file"};
    for (std::int32_t kind = 0; kind < 3; ++kind) {
        for (const std::string& value : config.getAll(section, kinds[kind])) {
            std::vector<std::string> f = fields(value);
            writer.files.push_back({toWide(f[0]), kind, fileDescription(kinds[kind], f, 1)});
        }
    }
    for (const std::string& value : config.getAll(section, "exclude"))
        writer.excludes.push_back(fileDescription("exclude", fields(value), 0));
}

WriterConfig readWriter(const HostConfig& config, const std::string& section,
                        const std::string& name) {
    WriterConfig writer;
    writer.identity.writerName = toWide(name);
    writer.identity.writerId = guidOrDerived(config, section, "id", "writer " + name);
    writer.identity.instanceId = guidOrDerived(config, section, "instance", "instance " + name);
    writer.identity.usage =
        static_cast<std::int32_t>(number("usage", config.get(section, "usage", "3")));
    readComponents(config, section, writer);
    if (auto state = config.get(section, "state"))
        writer.state = parseState("state", *state);
    for (const char* step : {"PrepareForBackup", "DoSnapshotSet", "BackupComplete"}) {
        if (auto state = config.get(section, std::string("state after ") + step))
            writer.stateAfter[step] = parseState("state after", *state);
    }
    return writer;
}

}  // namespace

std::vector<VssFileDescription> WriterConfig::filesOf(const VssComponentInfo& component,
                                                      std::int32_t kind) const {
    std::wstring full = component.logicalPath.empty()
                            ? component.componentName
                            : component.logicalPath + L"\\" + component.componentName;
    std::vector<VssFileDescription> out;
    for (const WriterFile& file : files) {
        if (file.kind == kind && file.componentPath == full)
            out.push_back(file.description);
    }
    return out;
}

SnapshotConfig SnapshotConfig::from(const HostConfig& config) {
    SnapshotConfig result;
    for (const char* step : kSteps) {
        StepBehaviour behaviour;
        std::string name(step);
        behaviour.delayMs = static_cast<std::uint32_t>(
            number("delay " + name, config.get(kServiceSection, "delay " + name, "0")));
        behaviour.hang = config.get(kServiceSection, "hang " + name, "no") == "yes";
        behaviour.failure = static_cast<HResult>(
            number("fail " + name, config.get(kServiceSection, "fail " + name, "0")));
        result.steps_[name] = behaviour;
    }
    for (const std::string& section : config.sections()) {
        if (section.rfind("writer ", 0) == 0)
            result.writers_.push_back(readWriter(config, section, trim(section.substr(7))));
    }
    return result;
}

StepBehaviour SnapshotConfig::step(const std::string& name) const {
    auto it = steps_.find(name);
    return it == steps_.end() ? StepBehaviour{} : it->second;
}

}  // namespace platform::emulated
