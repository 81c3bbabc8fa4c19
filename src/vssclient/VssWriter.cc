#include "vssclient/VssWriter.h"

#include <algorithm>
#include <cwctype>

#include "platform/Environment.h"
#include "platform/WideText.h"
#include "vssclient/FunctionTracer.h"
#include "vssclient/VssMessages.h"
#include "vssclient/VssUtil.h"

namespace vssclient {
namespace {

void addUnique(std::vector<std::wstring>& list, const std::wstring& value) {
    auto same = [&](const std::wstring& item) { return platform::equalsIgnoringCase(item, value); };
    if (std::none_of(list.begin(), list.end(), same))
        list.push_back(value);
}

using FileGetter = platform::HResult (platform::VssWMComponent::*)(std::uint32_t,
                                                                   platform::VssFileDescription*);

void readDescriptors(platform::VssWMComponent& component, FileGetter getter, std::uint32_t count,
                     VssDescriptorType type, const wchar_t* callText,
                     std::vector<VssFileDescriptor>& out) {
    for (std::uint32_t i = 0; i < count; ++i) {
        platform::VssFileDescription description;
        VSS_CHECK(callText, (component.*getter)(i, &description));
        VssFileDescriptor descriptor;
        descriptor.initialize(description, type);
        out.push_back(std::move(descriptor));
    }
}

}  // namespace

std::wstring descriptorTypeName(VssDescriptorType type) {
    switch (type) {
        case VssDescriptorType::includeFile:
            return L"Include";
        case VssDescriptorType::excludeFile:
            return L"Exclude";
        case VssDescriptorType::fileList:
            return L"File List";
        case VssDescriptorType::database:
            return L"Database";
        case VssDescriptorType::databaseLog:
            return L"Database Log";
        default:
            return L"Undefined";
    }
}

void VssFileDescriptor::initialize(const platform::VssFileDescription& description,
                                   VssDescriptorType descriptorType) {
    VSS_FUNCTION_TRACER(L"VssFileDescriptor::Initialize");
    type = descriptorType;
    path = description.path;
    filespec = description.filespec;
    alternatePath = description.alternateLocation;
    isRecursive = description.recursive;
    VSS_CHECK_WIN32(
        L"ExpandEnvironmentStringsW(path.c_str(), wszExpandedPath, ARRAYSIZE(wszExpandedPath))",
        platform::expandEnvironmentStrings(path, &expandedPath));
    // A path without a trailing separator is a directory all the same.
    if (!expandedPath.empty() && expandedPath.back() != L'\\')
        expandedPath += L'\\';
    affectedVolume = getUniqueVolumeNameForPath(expandedPath);
}

void VssComponent::initialize(const std::wstring& writerNameForTrace,
                              platform::VssWMComponent& component) {
    VSS_FUNCTION_TRACER(L"VssComponent::Initialize");
    platform::VssComponentInfo info;
    VSS_CHECK(L"pComponent->GetComponentInfo(&pInfo)", component.getComponentInfo(&info));
    name = info.componentName;
    logicalPath = info.logicalPath;
    caption = info.caption;
    type = info.type;
    selectable = info.selectable;
    notifyOnBackupComplete = info.notifyOnBackupComplete;
    fullPath = logicalPath.empty() ? name : logicalPath + L"\\" + name;
    ft.writeLine(L"- Component '%s' of writer '%s'", fullPath, writerNameForTrace);
    readDescriptors(component, &platform::VssWMComponent::getFile, info.fileCount,
                    VssDescriptorType::fileList, L"pComponent->GetFile(i, &pFileDesc)",
                    descriptors);
    readDescriptors(component, &platform::VssWMComponent::getDatabaseFile, info.databaseFiles,
                    VssDescriptorType::database, L"pComponent->GetDatabaseFile(i, &pFileDesc)",
                    descriptors);
    readDescriptors(component, &platform::VssWMComponent::getDatabaseLogFile, info.logFiles,
                    VssDescriptorType::databaseLog,
                    L"pComponent->GetDatabaseLogFile(i, &pFileDesc)", descriptors);
    for (const VssFileDescriptor& descriptor : descriptors) {
        addUnique(affectedPaths, descriptor.expandedPath);
        addUnique(affectedVolumes, descriptor.affectedVolume);
    }
}

bool VssComponent::isAncestorOf(const VssComponent& descendent) const {
    if (descendent.fullPath.size() <= fullPath.size() + 1)
        return false;
    std::wstring prefix = descendent.fullPath.substr(0, fullPath.size());
    return platform::equalsIgnoringCase(prefix, fullPath) &&
           descendent.fullPath[fullPath.size()] == L'\\';
}

void VssWriter::initialize(platform::VssExamineWriterMetadata& metadata) {
    VSS_FUNCTION_TRACER(L"VssWriter::Initialize");
    platform::VssWriterIdentity identity;
    VSS_CHECK(L"pMetadata->GetIdentity(&idInstance, &idWriter, &bstrWriterName, &usage, &source)",
              metadata.getIdentity(&identity));
    name = identity.writerName;
    id = guid2WString(identity.writerId);
    instanceId = guid2WString(identity.instanceId);
    notBootableSystemState = identity.usage != platform::kVssUtBootableSystemState;
    platform::VssRestoreMethod restore;
    VSS_CHECK(
        L"pMetadata->GetRestoreMethod(&method, &bstrService, &bstrUserProcedure, &writerRestore, "
        L"&bRebootRequired, &mappings)",
        metadata.getRestoreMethod(&restore));
    restoreMethod = restore.method;
    restoreService = restore.service;
    restoreUserProcedure = restore.userProcedure;
    writerRestoreConditions = restore.writerRestore;
    rebootRequiredAfterRestore = restore.rebootRequired;
    alternateMappings = restore.mappings;
    platform::VssFileCounts counts;
    VSS_CHECK(L"pMetadata->GetFileCounts(&cIncludeFiles, &cExcludeFiles, &cComponents)",
              metadata.getFileCounts(&counts));
    for (std::uint32_t i = 0; i < counts.excludeFiles; ++i) {
        platform::VssFileDescription description;
        VSS_CHECK(L"pMetadata->GetExcludeFile(i, &pFileDesc)",
                  metadata.getExcludeFile(i, &description));
        VssFileDescriptor descriptor;
        descriptor.initialize(description, VssDescriptorType::excludeFile);
        excludedFiles.push_back(std::move(descriptor));
    }
    for (std::uint32_t iComponent = 0; iComponent < counts.components; ++iComponent) {
        std::unique_ptr<platform::VssWMComponent> component;
        VSS_CHECK(L"pMetadata->GetComponent(iComponent, &pComponent)",
                  metadata.getComponent(iComponent, &component));
        VSS_CHECK(L"pMetadata->GetComponent(iComponent, &pComponent)",
                  component ? platform::kSOk : platform::kEPointer);
        VssComponent read;
        read.initialize(name, *component);
        components.push_back(std::move(read));
    }
    computeTopLevelComponents();
}

void VssWriter::computeTopLevelComponents() {
    for (VssComponent& component : components) {
        component.isTopLevel =
            std::none_of(components.begin(), components.end(), [&](const VssComponent& other) {
                return &other != &component && other.isAncestorOf(component);
            });
    }
}

}  // namespace vssclient
