// Writers, their components and file descriptors as the snapshot service describes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Vss.h"

namespace vssclient {

enum class VssDescriptorType { unknown, includeFile, excludeFile, fileList, database, databaseLog };

std::wstring descriptorTypeName(VssDescriptorType type);

struct VssFileDescriptor {
    std::wstring path;
    std::wstring filespec;
    std::wstring alternatePath;
    bool isRecursive = false;
    VssDescriptorType type = VssDescriptorType::unknown;
    // path with environment variables expanded, and the unique name of its volume
    std::wstring expandedPath;
    std::wstring affectedVolume;

    // Reads the description, expands the path and finds its volume (throws VssException).
    void initialize(const platform::VssFileDescription& description,
                    VssDescriptorType descriptorType);
};

struct VssComponent {
    std::wstring name;
    std::wstring logicalPath;
    std::wstring caption;
    std::int32_t type = platform::kVssCtUndefined;
    bool selectable = false;
    bool notifyOnBackupComplete = false;
    std::wstring fullPath;
    bool isTopLevel = false;
    bool isExcluded = false;
    bool isExplicitlyIncluded = false;
    std::vector<VssFileDescriptor> descriptors;
    std::vector<std::wstring> affectedPaths;
    std::vector<std::wstring> affectedVolumes;

    void initialize(const std::wstring& writerNameForTrace, platform::VssWMComponent& component);
    // Whether descendent lies below this component ("a\b" is an ancestor of "a\b\c").
    bool isAncestorOf(const VssComponent& descendent) const;
};

struct VssWriter {
    std::wstring name;
    std::wstring id;
    std::wstring instanceId;
    std::vector<VssComponent> components;
    std::vector<VssFileDescriptor> excludedFiles;
    std::int32_t restoreMethod = 0;
    std::wstring restoreService;
    std::wstring restoreUserProcedure;
    std::int32_t writerRestoreConditions = 0;
    bool rebootRequiredAfterRestore = false;
    std::uint32_t alternateMappings = 0;
    bool notBootableSystemState = false;
    bool isExcluded = false;

    void initialize(platform::VssExamineWriterMetadata& metadata);
    // isTopLevel of every component, once all are read.
    void computeTopLevelComponents();
};

}  // namespace vssclient
