// Writer metadata, component selection and writer status of the snapshot client.
#include <algorithm>

#include "logging/Logger.h"
#include "platform/System.h"
#include "vssclient/FunctionTracer.h"
#include "vssclient/VssClient.h"
#include "vssclient/VssCodeTranslator.h"
#include "vssclient/VssMessages.h"
#include "vssclient/VssUtil.h"

namespace vssclient {
namespace {

bool namesWriter(const VssWriter& writer, const std::wstring& entry) {
    return equalsNoCase(entry, writer.name) || equalsNoCase(entry, writer.id) ||
           equalsNoCase(entry, writer.instanceId);
}

// A component is named "<writer name, ID or instance ID>:<full path>".
bool namesComponent(const VssWriter& writer, const VssComponent& component,
                    const std::wstring& entry) {
    for (const std::wstring* prefix : {&writer.name, &writer.id, &writer.instanceId}) {
        if (equalsNoCase(entry, *prefix + L":" + component.fullPath))
            return true;
    }
    return false;
}

bool listed(const std::vector<std::wstring>& list, const std::wstring& value) {
    return std::any_of(list.begin(), list.end(),
                       [&](const std::wstring& item) { return equalsNoCase(item, value); });
}

[[noreturn]] void throwSelectionFailure(const std::string& frameStart, const std::wstring& name,
                                        const std::string& frameEnd, const char* function,
                                        int line) {
    throw VssOperationException(frameStart + "\"" + platform::toNarrow(name) + "\"" + frameEnd,
                                function, line);
}

bool includable(const VssComponent& component) {
    return !component.isExcluded && (component.isTopLevel || component.selectable);
}

}  // namespace

void VssClient::GatherWriterMetadata() {
    VSS_FUNCTION_TRACER(L"VssClient::GatherWriterMetadata");
    ft.WriteLine(L"(Gathering writer metadata...)");
    std::unique_ptr<platform::VssAsync> pAsync;
    VSS_CHECK(L"m_pVssObject->GatherWriterMetadata(&pAsync)",
              m_pVssObject->gatherWriterMetadata(&pAsync));
    writerMetadataGathered = true;
    WaitAndCheckForAsyncOperation(pAsync.get(), L"GatherWriterMetadata");
    ft.WriteLine(L"Initialize writer metadata ...");
    InitializeWriterMetadata();
}

void VssClient::InitializeWriterMetadata() {
    VSS_FUNCTION_TRACER(L"VssClient::InitializeWriterMetadata");
    std::uint32_t cWriters = 0;
    VSS_CHECK(L"m_pVssObject->GetWriterMetadataCount(&cWriters)",
              m_pVssObject->getWriterMetadataCount(&cWriters));
    writerList.clear();
    for (std::uint32_t iWriter = 0; iWriter < cWriters; ++iWriter) {
        platform::Guid idInstance;
        std::unique_ptr<platform::VssExamineWriterMetadata> pMetadata;
        VSS_CHECK(L"m_pVssObject->GetWriterMetadata(iWriter, &idInstance, &pMetadata)",
                  m_pVssObject->getWriterMetadata(iWriter, &idInstance, &pMetadata));
        VSS_CHECK(L"m_pVssObject->GetWriterMetadata(iWriter, &idInstance, &pMetadata)",
                  pMetadata ? platform::kSOk : platform::kEPointer);
        VssWriter writer;
        writer.Initialize(*pMetadata);
        writerList.push_back(std::move(writer));
    }
}

void VssClient::SelectComponentsForBackup(
    const std::vector<std::wstring>& shadowSourceVolumes,
    const std::vector<std::wstring>& excludedWriterAndComponentList,
    const std::vector<std::wstring>& includedWriterAndComponentList) {
    VSS_FUNCTION_TRACER(L"VssClient::SelectComponentsForBackup");
    DiscoverDirectlyExcludedComponents(excludedWriterAndComponentList);
    DiscoverNonShadowedExcludedComponents(shadowSourceVolumes);
    DiscoverAllExcludedComponents();
    DiscoverExcludedWriters();
    DiscoverExplicitelyIncludedComponents();
    ft.WriteLine(L"Verifying explicitly specified writers/components ...");
    for (const std::wstring& entry : includedWriterAndComponentList) {
        if (entry.find(L':') != std::wstring::npos)
            VerifyExplicitelyIncludedComponent(entry);
        else
            VerifyExplicitelyIncludedWriter(entry);
    }
    SelectExplicitelyIncludedComponents();
}

void VssClient::DiscoverDirectlyExcludedComponents(const std::vector<std::wstring>& excludedList) {
    VSS_FUNCTION_TRACER(L"VssClient::DiscoverDirectlyExcludedComponents");
    if (excludedList.empty())
        return;
    ft.WriteLine(L"Discover directly excluded components ...");
    for (VssWriter& writer : writerList) {
        if (std::any_of(excludedList.begin(), excludedList.end(),
                        [&](const std::wstring& entry) { return namesWriter(writer, entry); })) {
            writer.isExcluded = true;
            continue;
        }
        for (VssComponent& component : writer.components) {
            for (const std::wstring& entry : excludedList) {
                if (!component.isExcluded && namesComponent(writer, component, entry)) {
                    ft.WriteLine(
                        L"- Component '%s' from writer '%s' is explicitly excluded from backup ",
                        component.fullPath, writer.name);
                    component.isExcluded = true;
                }
            }
        }
        if (std::all_of(writer.components.begin(), writer.components.end(),
                        [](const VssComponent& c) { return c.isExcluded; })) {
            ft.WriteLine(
                L"- Excluding writer '%s' since it has no selected components for restore.",
                writer.name);
            writer.isExcluded = true;
        }
    }
}

void VssClient::DiscoverNonShadowedExcludedComponents(
    const std::vector<std::wstring>& shadowSourceVolumes) {
    VSS_FUNCTION_TRACER(L"VssClient::DiscoverNonShadowedExcludedComponents");
    ft.WriteLine(L"Discover components that reside outside the shadow set ...");
    for (VssWriter& writer : writerList) {
        if (writer.isExcluded)
            continue;
        for (VssComponent& component : writer.components) {
            if (component.isExcluded)
                continue;
            for (const std::wstring& volume : component.affectedVolumes) {
                if (listed(shadowSourceVolumes, volume))
                    continue;
                ft.WriteLine(
                    L"- Component '%s' from writer '%s' is excluded from backup (it requires %s in "
                    L"the "
                    L"shadow set)",
                    component.fullPath, writer.name, GetDisplayNameForVolume(volume));
                component.isExcluded = true;
                break;
            }
        }
    }
}

void VssClient::DiscoverAllExcludedComponents() {
    VSS_FUNCTION_TRACER(L"VssClient::DiscoverAllExcludedComponents");
    ft.WriteLine(L"Discover all excluded components ...");
    for (VssWriter& writer : writerList) {
        if (writer.isExcluded)
            continue;
        for (VssComponent& component : writer.components) {
            for (const VssComponent& descendent : writer.components) {
                if (component.isExcluded)
                    break;
                if (descendent.isExcluded && component.IsAncestorOf(descendent)) {
                    ft.WriteLine(
                        L"- Component '%s' from writer '%s' is excluded from backup (it has an "
                        L"excluded "
                        L"descendent: '%s')",
                        component.fullPath, writer.name, descendent.name);
                    component.isExcluded = true;
                }
            }
        }
    }
}

void VssClient::DiscoverExcludedWriters() {
    VSS_FUNCTION_TRACER(L"VssClient::DiscoverExcludedWriters");
    ft.WriteLine(L"Discover excluded writers ...");
    for (VssWriter& writer : writerList) {
        if (writer.isExcluded)
            continue;
        if (std::none_of(writer.components.begin(), writer.components.end(), includable)) {
            ft.WriteLine(L"- The writer '%s' is now entirely excluded from the backup:",
                         writer.name);
            ft.WriteLine(
                L"  (it does not contain any components that can be potentially included in the "
                L"backup)");
            writer.isExcluded = true;
            continue;
        }
        for (const VssComponent& component : writer.components) {
            if (component.isTopLevel && !component.selectable && component.isExcluded) {
                ft.WriteLine(L"- The writer '%s' is now entirely excluded from the backup:",
                             writer.name);
                ft.WriteLine(
                    L"  (the top-level non-selectable component '%s' is an excluded component)",
                    component.fullPath);
                writer.isExcluded = true;
                break;
            }
        }
    }
}

void VssClient::DiscoverExplicitelyIncludedComponents() {
    VSS_FUNCTION_TRACER(L"VssClient::DiscoverExplicitelyIncludedComponents");
    ft.WriteLine(L"Discover explicitly included components ...");
    for (VssWriter& writer : writerList) {
        if (writer.isExcluded)
            continue;
        for (VssComponent& component : writer.components) {
            if (!includable(component))
                continue;
            component.isExplicitlyIncluded = true;
            for (VssComponent& descendent : writer.components) {
                if (component.IsAncestorOf(descendent) && includable(descendent))
                    descendent.isExplicitlyIncluded = true;
            }
        }
    }
}

void VssClient::VerifyExplicitelyIncludedComponent(const std::wstring& includedComponent) {
    VSS_FUNCTION_TRACER(L"VssClient::VerifyExplicitelyIncludedComponent");
    ft.WriteLine(L"- Verifing component \"%s\" ...", includedComponent);
    for (const VssWriter& writer : writerList) {
        for (const VssComponent& component : writer.components) {
            if (!namesComponent(writer, component, includedComponent))
                continue;
            ft.WriteLine(L"- Found component '%s' from writer '%s'", component.fullPath,
                         writer.name);
            if (writer.isExcluded || !component.isExplicitlyIncluded) {
                ft.WriteLine(
                    L"ERROR: The component \"%s\" was not included in the backup! Aborting backup "
                    L"...",
                    includedComponent);
                throwSelectionFailure("The component ", includedComponent,
                                      " was not included in the backup", ZENTRAD_FUNCTION_SIGNATURE,
                                      __LINE__);
            }
            ft.WriteLine(L"  - The component \"%s\" is selected", includedComponent);
            return;
        }
    }
    ft.WriteLine(
        L"ERROR: The component \"%s\" was not found in the writer components list! Aborting backup "
        L"...",
        includedComponent);
    throwSelectionFailure("The component ", includedComponent,
                          " was not found in the writer components list",
                          ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
}

void VssClient::VerifyExplicitelyIncludedWriter(const std::wstring& writerName) {
    VSS_FUNCTION_TRACER(L"VssClient::VerifyExplicitelyIncludedWriter");
    for (const VssWriter& writer : writerList) {
        if (!namesWriter(writer, writerName))
            continue;
        if (writer.isExcluded) {
            ft.WriteLine(
                L"ERROR: The writer \"%s\" was not included in the backup! Aborting backup ...",
                writerName);
            throwSelectionFailure("The writer ", writerName, " was not included in the backup",
                                  ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
        }
        if (std::any_of(writer.components.begin(), writer.components.end(),
                        [](const VssComponent& c) { return c.isExcluded; })) {
            ft.WriteLine(
                L"ERROR: The writer \"%s\" has components not included in the backup! Aborting "
                L"backup ...",
                writerName);
            throwSelectionFailure("The writer ", writerName,
                                  " has components not included in the backup",
                                  ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
        }
        return;
    }
    ft.WriteLine(L"ERROR: The writer \"%s\" was not found! Aborting backup ...", writerName);
    throwSelectionFailure("The writer ", writerName, " was not found", ZENTRAD_FUNCTION_SIGNATURE,
                          __LINE__);
}

void VssClient::SelectExplicitelyIncludedComponents() {
    VSS_FUNCTION_TRACER(L"VssClient::SelectExplicitelyIncludedComponents");
    ft.WriteLine(L"Select explicitly included components ...");
    for (const VssWriter& writer : writerList) {
        if (writer.isExcluded)
            continue;
        ft.WriteLine(L" * Writer '%s':", writer.name);
        for (const VssComponent& component : writer.components) {
            if (!component.isExplicitlyIncluded)
                continue;
            ft.WriteLine(L"   - Add component %s", component.fullPath);
            VSS_CHECK(
                L"m_pVssObject->AddComponent(WString2Guid(writer.instanceId), "
                L"WString2Guid(writer.id), "
                L"component.type, component.logicalPath.c_str(), component.name.c_str())",
                m_pVssObject->addComponent(WString2Guid(writer.instanceId), WString2Guid(writer.id),
                                           component.type, component.logicalPath, component.name));
        }
    }
}

bool VssClient::IsWriterSelected(const platform::Guid& instanceId) const {
    std::wstring text = Guid2WString(instanceId);
    return std::any_of(writerList.begin(), writerList.end(), [&](const VssWriter& writer) {
        return !writer.isExcluded && equalsNoCase(writer.instanceId, text);
    });
}

void VssClient::CheckSelectedWriterStatus() {
    VSS_FUNCTION_TRACER(L"VssClient::CheckSelectedWriterStatus");
    std::unique_ptr<platform::VssAsync> pAsync;
    VSS_CHECK(L"m_pVssObject->GatherWriterStatus(&pAsync)",
              m_pVssObject->gatherWriterStatus(&pAsync));
    WaitAndCheckForAsyncOperation(pAsync.get(), L"VssClient::GatherWriterStatus");
    std::uint32_t cWriters = 0;
    VSS_CHECK(L"m_pVssObject->GetWriterStatusCount(&cWriters)",
              m_pVssObject->getWriterStatusCount(&cWriters));
    for (std::uint32_t iWriter = 0; iWriter < cWriters; ++iWriter) {
        platform::VssWriterStatus status;
        VSS_CHECK(
            L"m_pVssObject->GetWriterStatus(iWriter, &idInstance, &idWriter, &bstrWriterName, "
            L"&eWriterStatus, "
            L"&hrWriterFailure)",
            m_pVssObject->getWriterStatus(iWriter, &status));
        if (IsWriterSelected(status.instanceId) && IsFailedWriterState(status.state))
            ReportWriterStatus(status);
    }
    VSS_CHECK(L"m_pVssObject->FreeWriterStatus()", m_pVssObject->freeWriterStatus());
}

void VssClient::ReportWriterStatus(const platform::VssWriterStatus& status) {
    VSS_FUNCTION_TRACER(L"VssClient::ReportWriterStatus");
    ft.WriteLine(L"ERROR: Selected writer '%s' is in failed state!", status.writerName);
    ft.WriteLine(L"   - Status: %d (%s)", status.state, GetStringFromWriterStatus(status.state));
    ft.WriteLine(L"   - Writer Failure code: 0x%08lx (%s)",
                 static_cast<std::uint32_t>(status.failure), codeName(status.failure));
    ft.WriteLine(L"   - Writer ID: %s", Guid2WString(status.writerId));
    ft.WriteLine(L"   - Instance ID: %s", Guid2WString(status.instanceId));
    logging::logWarn() << "Selected writer '" << platform::toNarrow(status.writerName)
                       << "' is in failed state";
}

}  // namespace vssclient
