#include "platform/emulated/storage/FaultInjector.h"

#include <cstdio>
#include <cwctype>
#include <map>
#include <mutex>

#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/WideText.h"
#include "platform/emulated/storage/HostLayout.h"
#include "platform/emulated/storage/NtfsQueries.h"
#include "platform/emulated/storage/VolumeDevice.h"

namespace platform::emulated {
namespace {

struct FaultRule {
    std::string name;
    bool write = false;
    bool shortWrite = false;
    std::string volume;  // as written in host.conf
    std::optional<std::uint32_t> disk;
    bool clusters = false;  // the range counts clusters, not sectors
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint32_t error = kErrorCrc;
    std::optional<std::uint64_t> attempts;
    std::uint64_t bytes = 0;
};

std::optional<std::uint64_t> number(const std::string& text) {
    unsigned long long value = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%llu%c", &value, &tail) != 1)
        return std::nullopt;
    return value;
}

bool parseRange(const std::string& text, FaultRule& rule) {
    unsigned long long first = 0;
    unsigned long long last = 0;
    char tail = 0;
    int n = std::sscanf(text.c_str(), "%llu-%llu%c", &first, &last, &tail);
    if (n == 1)
        last = first;
    if ((n != 1 && n != 2) || last < first)
        return false;
    rule.first = first;
    rule.last = last;
    return true;
}

std::optional<FaultRule> parseRule(const HostConfig& config, const std::string& section) {
    FaultRule rule;
    rule.name = section;
    std::string kind = config.get(section, "kind", "read-error");
    rule.write = kind != "read-error";
    rule.shortWrite = kind == "short-write";
    if (kind != "read-error" && kind != "write-error" && kind != "short-write")
        return std::nullopt;
    rule.volume = config.get(section, "volume", "");
    if (auto disk = config.get(section, "disk"))
        rule.disk = number(*disk);
    if (rule.volume.empty() == !rule.disk.has_value())
        return std::nullopt;
    auto clusters = config.get(section, "clusters");
    auto sectors = config.get(section, "sectors");
    rule.clusters = clusters.has_value();
    if (clusters.has_value() == sectors.has_value() || (rule.clusters && rule.disk)) {
        return std::nullopt;
    }
    if (!parseRange(clusters ? *clusters : *sectors, rule))
        return std::nullopt;
    rule.error =
        static_cast<std::uint32_t>(number(config.get(section, "error", "23")).value_or(23));
    if (auto attempts = config.get(section, "attempts"))
        rule.attempts = number(*attempts);
    rule.bytes = number(config.get(section, "bytes", "0")).value_or(0);
    return rule;
}

// Per host and process: how often each counted fault fired where, and cluster sizes.
struct InjectorState {
    std::mutex mutex;  // guards the fields below
    std::string configText;
    std::map<std::pair<std::string, std::uint64_t>, std::uint64_t> fired;
    std::map<std::wstring, std::uint64_t> clusterSizes;
    std::map<wchar_t, std::wstring> letterVolumes;  // upper-case device path, or empty
};

InjectorState& stateFor(Host& host) {
    static std::mutex statesMutex;  // guards states
    static auto* states = new std::map<const Host*, std::unique_ptr<InjectorState>>();
    std::lock_guard<std::mutex> lock(statesMutex);
    auto& state = (*states)[&host];
    if (!state)
        state = std::make_unique<InjectorState>();
    return *state;
}

std::wstring upperNoSlash(std::wstring text) {
    return upperCase(withoutTrailingBackslashes(std::move(text)));
}

class Injector {
  public:
    Injector(Host& host, const FaultTarget& target) : host_(host), target_(target) {}

    std::optional<InjectedFault> check(bool write, std::uint64_t offset, std::uint64_t length) {
        HostConfig config;
        try {
            config = host_.config();
        } catch (const std::exception&) {
            return std::nullopt;  // a host.conf that does not parse declares no faults
        }
        InjectorState& state = stateFor(host_);
        std::lock_guard<std::mutex> lock(state.mutex);
        std::string text = config.text();
        if (text != state.configText) {
            state.configText = text;
            state.fired.clear();
            state.clusterSizes.clear();
            state.letterVolumes.clear();
        }
        for (const auto& section : config.sections()) {
            if (section.rfind("fault ", 0) != 0)
                continue;
            auto rule = parseRule(config, section);
            if (!rule || rule->write != write || !targets(state, *rule))
                continue;
            if (auto fault = fire(state, *rule, offset, length))
                return fault;
        }
        return std::nullopt;
    }

  private:
    bool targets(InjectorState& state, const FaultRule& rule) {
        if (rule.disk)
            return target_.diskNumber && *target_.diskNumber == *rule.disk;
        if (target_.volumeGuidPath.empty())
            return false;
        std::wstring wanted = upperNoSlash(target_.volumeGuidPath);
        std::wstring named = toWide(rule.volume);
        if (named.size() <= 2 && !named.empty() && std::iswalpha(named[0])) {
            wchar_t letter = static_cast<wchar_t>(std::towupper(named[0]));
            auto known = state.letterVolumes.find(letter);
            if (known == state.letterVolumes.end()) {
                const VolumeInfo* volume = layout().volumeForLetter(letter);
                std::wstring path = volume != nullptr ? upperNoSlash(volume->guidPath) : L"";
                known = state.letterVolumes.emplace(letter, path).first;
            }
            return !known->second.empty() && known->second == wanted;
        }
        return upperNoSlash(named) == wanted;
    }

    std::optional<InjectedFault> fire(InjectorState& state, const FaultRule& rule,
                                      std::uint64_t offset, std::uint64_t length) {
        std::uint64_t unit = rule.clusters ? clusterSize(state) : kSectorSize;
        if (unit == 0 || length == 0)
            return std::nullopt;
        std::uint64_t firstByte = rule.first * unit;
        std::uint64_t endByte = (rule.last + 1) * unit;
        if (offset >= endByte || offset + length <= firstByte)
            return std::nullopt;
        if (rule.attempts) {
            std::uint64_t& count = state.fired[{rule.name, offset}];
            if (count >= *rule.attempts)
                return std::nullopt;
            ++count;
        }
        InjectedFault fault;
        fault.kind = rule.shortWrite ? InjectedFault::Kind::ShortWrite : InjectedFault::Kind::Error;
        fault.error = rule.error;
        fault.bytesWritten = std::min(rule.bytes, length);
        return fault;
    }

    // The NTFS cluster size of the target volume; 0 when it holds no NTFS.
    std::uint64_t clusterSize(InjectorState& state) {
        auto cached = state.clusterSizes.find(target_.volumeGuidPath);
        if (cached != state.clusterSizes.end())
            return cached->second;
        std::uint64_t size = 0;
        if (const VolumeInfo* volume = layout().findVolume(target_.volumeGuidPath)) {
            if (auto source = liveVolumeSource(host_, *volume, false)) {
                size = ntfsClusterSize(*source);
            }
        }
        state.clusterSizes[target_.volumeGuidPath] = size;
        return size;
    }

    const HostLayout& layout() {
        if (!layout_)
            layout_ = HostLayout::load(host_);
        return *layout_;
    }

    Host& host_;
    const FaultTarget& target_;
    std::optional<HostLayout> layout_;
};

}  // namespace

std::optional<InjectedFault> injectReadFault(Host& host, const FaultTarget& target,
                                             std::uint64_t offset, std::uint64_t length) {
    return Injector(host, target).check(false, offset, length);
}

std::optional<InjectedFault> injectWriteFault(Host& host, const FaultTarget& target,
                                              std::uint64_t offset, std::uint64_t length) {
    return Injector(host, target).check(true, offset, length);
}

}  // namespace platform::emulated
