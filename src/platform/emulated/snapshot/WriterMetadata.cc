#include "platform/emulated/snapshot/WriterMetadata.h"

namespace platform::emulated {
namespace {

HResult pick(const std::vector<VssFileDescription>& files, std::uint32_t index,
             VssFileDescription* out) {
    if (out == nullptr)
        return kEPointer;
    if (index >= files.size())
        return kEInvalidArg;
    *out = files[index];
    return kSOk;
}

class EmulatedComponent : public VssWMComponent {
  public:
    EmulatedComponent(const WriterConfig& writer, const VssComponentInfo& info)
        : info_(info),
          files_(writer.filesOf(info, 0)),
          databases_(writer.filesOf(info, 1)),
          logs_(writer.filesOf(info, 2)) {
        info_.fileCount = static_cast<std::uint32_t>(files_.size());
        info_.databaseFiles = static_cast<std::uint32_t>(databases_.size());
        info_.logFiles = static_cast<std::uint32_t>(logs_.size());
    }

    HResult getComponentInfo(VssComponentInfo* info) override {
        if (info == nullptr)
            return kEPointer;
        *info = info_;
        return kSOk;
    }
    HResult getFile(std::uint32_t index, VssFileDescription* file) override {
        return pick(files_, index, file);
    }
    HResult getDatabaseFile(std::uint32_t index, VssFileDescription* file) override {
        return pick(databases_, index, file);
    }
    HResult getDatabaseLogFile(std::uint32_t index, VssFileDescription* file) override {
        return pick(logs_, index, file);
    }

  private:
    VssComponentInfo info_;
    std::vector<VssFileDescription> files_;
    std::vector<VssFileDescription> databases_;
    std::vector<VssFileDescription> logs_;
};

class EmulatedWriterMetadata : public VssExamineWriterMetadata {
  public:
    explicit EmulatedWriterMetadata(WriterConfig writer) : writer_(std::move(writer)) {}

    HResult getIdentity(VssWriterIdentity* identity) override {
        if (identity == nullptr)
            return kEPointer;
        *identity = writer_.identity;
        return kSOk;
    }
    HResult getRestoreMethod(VssRestoreMethod* method) override {
        if (method == nullptr)
            return kEPointer;
        *method = VssRestoreMethod{};
        return kSOk;
    }
    HResult getFileCounts(VssFileCounts* counts) override {
        if (counts == nullptr)
            return kEPointer;
        counts->includeFiles = 0;
        counts->excludeFiles = static_cast<std::uint32_t>(writer_.excludes.size());
        counts->components = static_cast<std::uint32_t>(writer_.components.size());
        return kSOk;
    }
    HResult getExcludeFile(std::uint32_t index, VssFileDescription* file) override {
        return pick(writer_.excludes, index, file);
    }
    HResult getComponent(std::uint32_t index, std::unique_ptr<VssWMComponent>* component) override {
        if (component == nullptr)
            return kEPointer;
        if (index >= writer_.components.size())
            return kEInvalidArg;
        *component = std::make_unique<EmulatedComponent>(writer_, writer_.components[index]);
        return kSOk;
    }

  private:
    WriterConfig writer_;
};

}  // namespace

std::unique_ptr<VssExamineWriterMetadata> makeWriterMetadata(const WriterConfig& writer) {
    return std::make_unique<EmulatedWriterMetadata>(writer);
}

}  // namespace platform::emulated
