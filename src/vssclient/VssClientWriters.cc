// Writer metadata, component selection and writer status of the snapshot client.
#include <algorithm>

#include "logging/Logger.h"
#include "platform/System.h"
#include "platform/WideText.h"
#include "vssclient/FunctionTracer.h"
#include "vssclient/VssClient.h"
#include "vssclient/VssCodeTranslator.h"
#include "vssclient/VssMessages.h"
#include "vssclient/VssUtil.h"

namespace vssclient {
namespace {

bool namesWriter(const VssWriter& writer, const std::wstring& entry) {
    return platform::equalsIgnoringCase(entry, writer.name) ||
           platform::equalsIgnoringCase(entry, writer.id) ||
           platform::equalsIgnoringCase(entry, writer.instanceId);
}

// A component is named "<writer name, ID or instance ID>:<full path>".
bool namesComponent(const VssWriter& writer, const VssComponent& component,
                    const std::wstring& entry) {
    for (const std::wstring* prefix : {&writer.name, &writer.id, &writer.instanceId}) {
        if (platform::equalsIgnoringCase(entry, *prefix + L":" + component.fullPath))
            return true;
    }
    return false;
}

bool listed(const std::vector<std::wstring>& list, const std::wstring& value) {
    return std::any_of(list.begin(), list.end(), [&](const std::wstring& item) {
        return platform::equalsIgnoringCase(item, value);
    });
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

void VssClient::gatherWriterMetadata() {
    VSS_FUNCTION_TRACER(L"VssClient::GatherWriterMetadata");
    ft.writeLine(L"(Gathering writer metadata...)");
    std::unique_ptr<platform::VssAsync> pAsync;
    VSS_CHECK(L"m_pVssObject->GatherWriterMetadata(&pAsync)",
              vssObject_->gatherWriterMetadata(&pAsync));
    writerMetadataGathered_ = true;
    waitAndCheckForAsyncOperation(pAsync.get(), L"GatherWriterMetadata");
    ft.writeLine(L"Initialize writer metadata ...");
    initializeWriterMetadata();
}

void VssClient::initializeWriterMetadata() {
    VSS_FUNCTION_TRACER(L"VssClient::InitializeWriterMetadata");
    std::uint32_t cWriters = 0;
    VSS_CHECK(L"m_pVssObject->GetWriterMetadataCount(&cWriters)",
              vssObject_->getWriterMetadataCount(&cWriters));
    writerList_.clear();
    for (std::uint32_t iWriter = 0; iWriter < cWriters; ++iWriter) {
        platform::Guid idInstance;
        std::unique_ptr<platform::VssExamineWriterMetadata> pMetadata;
        VSS_CHECK(L"m_pVssObject->GetWriterMetadata(iWriter, &idInstance, &pMetadata)",
                  vssObject_->getWriterMetadata(iWriter, &idInstance, &pMetadata));
        VSS_CHECK(L"m_pVssObject->GetWriterMetadata(iWriter, &idInstance, &pMetadata)",
                  pMetadata ? platform::kSOk : platform::kEPointer);
        VssWriter writer;
        writer.initialize(*pMetadata);
        writerList_.push_back(std::move(writer));
    }
}

void VssClient::selectComponentsForBackup(
    const std::vector<std::wstring>& shadowSourceVolumes,
    const std::vector<std::wstring>& excludedWriterAndComponentList,
    const std::vector<std::wstring>& includedWriterAndComponentList) {
    VSS_FUNCTION_TRACER(L"VssClient::SelectComponentsForBackup");
    discoverDirectlyExcludedComponents(excludedWriterAndComponentList);
    discoverNonShadowedExcludedComponents(shadowSourceVolumes);
    discoverAllExcludedComponents();
    discoverExcludedWriters();
    discoverExplicitelyIncludedComponents();
    ft.writeLine(L"Verifying explicitly specified writers/components ...");
    for (const std::wstring& entry : includedWriterAndComponentList) {
        if (entry.find(L':') != std::wstring::npos)
            verifyExplicitelyIncludedComponent(entry);
        else
            verifyExplicitelyIncludedWriter(entry);
    }
    selectExplicitelyIncludedComponents();
}

void VssClient::discoverDirectlyExcludedComponents(const std::vector<std::wstring>& excludedList) {
    VSS_FUNCTION_TRACER(L"VssClient::DiscoverDirectlyExcludedComponents");
    if (excludedList.empty())
        return;
    ft.writeLine(L"Discover directly excluded components ...");
    for (VssWriter& writer : writerList_) {
        if (std::any_of(excludedList.begin(), excludedList.end(),
                        [&](const std::wstring& entry) { return namesWriter(writer, entry); })) {
            writer.isExcluded = true;
            continue;
        }
        for (VssComponent& component : writer.components) {
            for (const std::wstring& entry : excludedList) {
                if (!component.isExcluded && namesComponent(writer, component, entry)) {
                    ft.writeLine(
                        L"- Component '%s' from writer '%s' is explicitly excluded from backup ",
                        component.fullPath, writer.name);
                    component.isExcluded = true;
                }
            }
        }
        if (std::all_of(writer.components.begin(), writer.components.end(),
                        [](const VssComponent& c) { return c.isExcluded; })) {
            ft.writeLine(
                L"- Excluding writer '%s' since it has no selected components for restore.",
                writer.name);
            writer.isExcluded = true;
        }
    }
}

void VssClient::discoverNonShadowedExcludedComponents(
    const std::vector<std::wstring>& shadowSourceVolumes) {
    VSS_FUNCTION_TRACER(L"VssClient::DiscoverNonShadowedExcludedComponents");
    ft.writeLine(L"Discover components that reside outside the shadow set ...");
    for (VssWriter& writer : writerList_) {
        if (writer.isExcluded)
            continue;
        for (VssComponent& component : writer.components) {
            if (component.isExcluded)
                continue;
            for (const std::wstring& volume : component.affectedVolumes) {
                if (listed(shadowSourceVolumes, volume))
                    continue;
                ft.writeLine(
                    L"- Component '%s' from writer '%s' is excluded from backup (it requires %s in "
                    L"the "
                    L"shadow set)",
                    component.fullPath, writer.name, getDisplayNameForVolume(volume));
                component.isExcluded = true;
                break;
            }
        }
    }
}

void VssClient::discoverAllExcludedComponents() {
    VSS_FUNCTION_TRACER(L"VssClient::DiscoverAllExcludedComponents");
    ft.writeLine(L"Discover all excluded components ...");
    for (VssWriter& writer : writerList_) {
        if (writer.isExcluded)
            continue;
        for (VssComponent& component : writer.components) {
            for (const VssComponent& descendent : writer.components) {
                if (component.isExcluded)
                    break;
                if (descendent.isExcluded && component.isAncestorOf(descendent)) {
                    ft.writeLine(
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

void VssClient::discoverExcludedWriters() {
    VSS_FUNCTION_TRACER(L"VssClient::DiscoverExcludedWriters");
    ft.writeLine(L"Discover excluded writers ...");
    for (VssWriter& writer : writerList_) {
        if (writer.isExcluded)
            continue;
        if (std::none_of(writer.components.begin(), writer.components.end(), includable)) {
            ft.writeLine(L"- The writer '%s' is now entirely excluded from the backup:",
                         writer.name);
            ft.writeLine(
                L"  (it does not contain any components that can be potentially included in the "
                L"backup)");
            writer.isExcluded = true;
            continue;
        }
        for (const VssComponent& component : writer.components) {
            if (component.isTopLevel && !component.selectable && component.isExcluded) {
                ft.writeLine(L"- The writer '%s' is now entirely excluded from the backup:",
                             writer.name);
                ft.writeLine(
                    L"  (the top-level non-selectable component '%s' is an excluded component)",
                    component.fullPath);
                writer.isExcluded = true;
                break;
            }
        }
    }
}

void VssClient::discoverExplicitelyIncludedComponents() {
    VSS_FUNCTION_TRACER(L"VssClient::DiscoverExplicitelyIncludedComponents");
    ft.writeLine(L"Discover explicitly included components ...");
    for (VssWriter& writer : writerList_) {
        if (writer.isExcluded)
            continue;
        for (VssComponent& component : writer.components) {
            if (!includable(component))
                continue;
            component.isExplicitlyIncluded = true;
            for (VssComponent& descendent : writer.components) {
                if (component.isAncestorOf(descendent) && includable(descendent))
                    descendent.isExplicitlyIncluded = true;
            }
        }
    }
}

void VssClient::verifyExplicitelyIncludedComponent(const std::wstring& includedComponent) {
    VSS_FUNCTION_TRACER(L"VssClient::VerifyExplicitelyIncludedComponent");
    ft.writeLine(L"- Verifing component \"%s\" ...", includedComponent);
    for (const VssWriter& writer : writerList_) {
        for (const VssComponent& component : writer.components) {
            if (!namesComponent(writer, component, includedComponent))
                continue;
            ft.writeLine(L"- Found component '%s' from writer '%s'", component.fullPath,
                         writer.name);
            if (writer.isExcluded || !component.isExplicitlyIncluded) {
                ft.writeLine(
                    L"ERROR: The component \"%s\" was not included in the backup! Aborting backup "
                    L"...",
                    includedComponent);
                throwSelectionFailure("The component ", includedComponent,
                                      " was not included in the backup", ZENTRAD_FUNCTION_SIGNATURE,
                                      __LINE__);
            }
            ft.writeLine(L"  - The component \"%s\" is selected", includedComponent);
            return;
        }
    }
    ft.writeLine(
        L"ERROR: The component \"%s\" was not found in the writer components list! Aborting backup "
        L"...",
        includedComponent);
    throwSelectionFailure("The component ", includedComponent,
                          " was not found in the writer components list",
                          ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
}

void VssClient::verifyExplicitelyIncludedWriter(const std::wstring& writerName) {
    VSS_FUNCTION_TRACER(L"VssClient::VerifyExplicitelyIncludedWriter");
    for (const VssWriter& writer : writerList_) {
        if (!namesWriter(writer, writerName))
            continue;
        if (writer.isExcluded) {
            ft.writeLine(
                L"ERROR: The writer \"%s\" was not included in the backup! Aborting backup ...",
                writerName);
            throwSelectionFailure("The writer ", writerName, " was not included in the backup",
                                  ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
        }
        if (std::any_of(writer.components.begin(), writer.components.end(),
                        [](const VssComponent& c) { return c.isExcluded; })) {
            ft.writeLine(
                L"ERROR: The writer \"%s\" has components not included in the backup! Aborting "
                L"backup ...",
                writerName);
            throwSelectionFailure("The writer ", writerName,
                                  " has components not included in the backup",
                                  ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
        }
        return;
    }
    ft.writeLine(L"ERROR: The writer \"%s\" was not found! Aborting backup ...", writerName);
    throwSelectionFailure("The writer ", writerName, " was not found", ZENTRAD_FUNCTION_SIGNATURE,
                          __LINE__);
}

void VssClient::selectExplicitelyIncludedComponents() {
    VSS_FUNCTION_TRACER(L"VssClient::SelectExplicitelyIncludedComponents");
    ft.writeLine(L"Select explicitly included components ...");
    for (const VssWriter& writer : writerList_) {
        if (writer.isExcluded)
            continue;
        ft.writeLine(L" * Writer '%s':", writer.name);
        for (const VssComponent& component : writer.components) {
            if (!component.isExplicitlyIncluded)
                continue;
            ft.writeLine(L"   - Add component %s", component.fullPath);
            VSS_CHECK(
                L"m_pVssObject->AddComponent(WString2Guid(writer.instanceId), "
                L"WString2Guid(writer.id), "
                L"component.type, component.logicalPath.c_str(), component.name.c_str())",
                vssObject_->addComponent(wString2Guid(writer.instanceId), wString2Guid(writer.id),
                                         component.type, component.logicalPath, component.name));
        }
    }
}

bool VssClient::isWriterSelected(const platform::Guid& instanceId) const {
    std::wstring text = guid2WString(instanceId);
    return std::any_of(writerList_.begin(), writerList_.end(), [&](const VssWriter& writer) {
        return !writer.isExcluded && platform::equalsIgnoringCase(writer.instanceId, text);
    });
}

void VssClient::checkSelectedWriterStatus() {
    VSS_FUNCTION_TRACER(L"VssClient::CheckSelectedWriterStatus");
    std::unique_ptr<platform::VssAsync> pAsync;
    VSS_CHECK(L"m_pVssObject->GatherWriterStatus(&pAsync)",
              vssObject_->gatherWriterStatus(&pAsync));
    waitAndCheckForAsyncOperation(pAsync.get(), L"VssClient::GatherWriterStatus");
    std::uint32_t cWriters = 0;
    VSS_CHECK(L"m_pVssObject->GetWriterStatusCount(&cWriters)",
              vssObject_->getWriterStatusCount(&cWriters));
    for (std::uint32_t iWriter = 0; iWriter < cWriters; ++iWriter) {
        platform::VssWriterStatus status;
        VSS_CHECK(
            L"m_pVssObject->GetWriterStatus(iWriter, &idInstance, &idWriter, &bstrWriterName, "
            L"&eWriterStatus, "
            L"&hrWriterFailure)",
            vssObject_->getWriterStatus(iWriter, &status));
        if (isWriterSelected(status.instanceId) && isFailedWriterState(status.state))
            reportWriterStatus(status);
    }
    VSS_CHECK(L"m_pVssObject->FreeWriterStatus()", vssObject_->freeWriterStatus());
}

void VssClient::reportWriterStatus(const platform::VssWriterStatus& status) {
    VSS_FUNCTION_TRACER(L"VssClient::ReportWriterStatus");
    ft.writeLine(L"ERROR: Selected writer '%s' is in failed state!", status.writerName);
    ft.writeLine(L"   - Status: %d (%s)", status.state, getStringFromWriterStatus(status.state));
    ft.writeLine(L"   - Writer Failure code: 0x%08lx (%s)",
                 static_cast<std::uint32_t>(status.failure), codeName(status.failure));
    ft.writeLine(L"   - Writer ID: %s", guid2WString(status.writerId));
    ft.writeLine(L"   - Instance ID: %s", guid2WString(status.instanceId));
    logging::logWarn() << "Selected writer '" << platform::toNarrow(status.writerName)
                       << "' is in failed state";
}

}  // namespace vssclient
