#include "vssclient/VssClient.h"

#include <atomic>
#include <cstdio>

#include "logging/Logger.h"
#include "platform/File.h"
#include "platform/System.h"
#include "vssclient/FunctionTracer.h"
#include "vssclient/VssMessages.h"
#include "vssclient/VssUtil.h"

namespace vssclient {
namespace {

void printSnapshotProperties(const platform::VssSnapshotProperties& prop) {
    VSS_FUNCTION_TRACER(L"PrintSnapshotProperties");
    ft.writeLine(L"* SNAPSHOT ID = %s ...", guid2WString(prop.snapshotId));
    ft.writeLine(L"   - Shadow copy Set: %s", guid2WString(prop.snapshotSetId));
    ft.writeLine(L"   - Original count of shadow copies = %d", prop.snapshotsCount);
    ft.writeLine(L"   - Original Volume name: %s [%s]", prop.originalVolumeName,
                 getDisplayNameForVolume(prop.originalVolumeName));
    ft.writeLine(L"   - Creation Time: %lld", prop.creationTimestamp);
    ft.writeLine(L"   - Shadow copy device name: %s", prop.snapshotDeviceObject);
    ft.writeLine(L"   - Originating machine: %s", prop.originatingMachine);
    ft.writeLine(L"   - Service machine: %s", prop.serviceMachine);
    if (!prop.exposedName.empty())
        ft.writeLine(L"   - Exposed name: %s", prop.exposedName);
    if (!prop.exposedPath.empty())
        ft.writeLine(L"   - Exposed path: %s", prop.exposedPath);
    ft.writeLine(L"   - Provider id: %s", guid2WString(prop.providerId));
    ft.writeLine(L"   - Attributes: 0x%08x", static_cast<std::uint32_t>(prop.snapshotAttributes));
}

}  // namespace

VssClient::VssClient(std::int32_t timeoutSeconds) : timeoutSeconds_(timeoutSeconds) {}

VssClient::~VssClient() {
    if (writerMetadataGathered_ && vssObject_)
        vssObject_->freeWriterMetadata();
    excludedWriterList_.clear();
    vssObject_.reset();
}

void VssClient::initialize(std::uint32_t, const std::wstring& xmlDoc, bool) {
    VSS_FUNCTION_TRACER(L"VssClient::Initialize");
    VSS_CHECK_COM(L"CreateVssBackupComponents(&m_pVssObject)",
                  platform::createVssBackupComponents(&vssObject_));
    duringRestore_ = false;
    if (!xmlDoc.empty()) {
        VSS_CHECK(L"m_pVssObject->InitializeForBackup(CComBSTR(xmlDoc.c_str()))",
                  vssObject_->initializeForBackup(&xmlDoc));
    } else {
        VSS_CHECK(L"m_pVssObject->InitializeForBackup()", vssObject_->initializeForBackup(nullptr));
    }
    context_ = 0;
    if (copyOnlyBackups()) {
        VSS_CHECK(L"m_pVssObject->SetBackupState(true, true, VSS_BT_COPY, false)",
                  vssObject_->setBackupState(true, true, platform::kVssBtCopy, false));
    } else {
        VSS_CHECK(L"m_pVssObject->SetBackupState(true, true, VSS_BT_FULL, false)",
                  vssObject_->setBackupState(true, true, platform::kVssBtFull, false));
    }
}

namespace {
std::atomic<bool> copyOnly{false};
}  // namespace

void VssClient::setCopyOnlyBackups(bool enabled) {
    copyOnly = enabled;
}

bool VssClient::copyOnlyBackups() {
    return copyOnly;
}

void VssClient::createSnapshotSet(const std::vector<std::wstring>& volumes,
                                  const std::wstring& outXmlFile,
                                  const std::vector<std::wstring>& excludedWriters,
                                  const std::vector<std::wstring>& includedComponents) {
    VSS_FUNCTION_TRACER(L"VssClient::CreateSnapshotSet");
    if (!vssObject_)
        throw VssOperationException(
            syncFailureMessage(L"VssClient::CreateSnapshotSet", platform::kVssEBadState),
            ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
    if (writersTakePart()) {
        gatherWriterMetadata();
        selectComponentsForBackup(volumes, excludedWriters, includedComponents);
    }
    VSS_CHECK(L"m_pVssObject->StartSnapshotSet(&m_latestSnapshotSetID)",
              vssObject_->startSnapshotSet(&latestSnapshotSetId_));
    ft.writeLine(L"Creating shadow set %s ...", guid2WString(latestSnapshotSetId_));
    try {
        addToSnapshotSet(volumes);
        if (writersTakePart()) {
            ft.writeLine(L"Preparing for backup ... ");
            prepareForBackup();
            checkSelectedWriterStatus();
        }
        doSnapshotSet();
    } catch (...) {
        // The service and the writers must hear that this backup ended: without it writers
        // stay frozen in their backup state until the service times them out.
        abortBackup();
        throw;
    }
    if (!outXmlFile.empty())
        saveBackupComponentsDocument(outXmlFile);
    if ((context_ & kVssVolsnapAttrNoAutorelease) == 0) {
        ft.writeLine(L"\nList of created shadow copies: \n");
        querySnapshotSet(latestSnapshotSetId_);
    }
}

void VssClient::addToSnapshotSet(const std::vector<std::wstring>& volumes) {
    VSS_FUNCTION_TRACER(L"VssClient::AddToSnapshotSet");
    volumeList_ = volumes;
    snapshotIdList_.clear();
    for (const std::wstring& volume : volumeList_) {
        ft.writeLine(L"- Adding volume %s [%s] to the shadow set...", volume,
                     getDisplayNameForVolume(volume));
        platform::Guid SnapshotID;
        VSS_CHECK(L"m_pVssObject->AddToSnapshotSet((LPWSTR)volume.c_str(), GUID_NULL, &SnapshotID)",
                  vssObject_->addToSnapshotSet(volume, platform::Guid{}, &SnapshotID));
        snapshotIdList_.push_back(SnapshotID);
    }
}

void VssClient::prepareForBackup() {
    VSS_FUNCTION_TRACER(L"VssClient::PrepareForBackup");
    std::unique_ptr<platform::VssAsync> pAsync;
    VSS_CHECK(L"m_pVssObject->PrepareForBackup(&pAsync)", vssObject_->prepareForBackup(&pAsync));
    waitAndCheckForAsyncOperation(pAsync.get(), L"VssClient::PrepareForBackup");
}

void VssClient::doSnapshotSet() {
    VSS_FUNCTION_TRACER(L"VssClient::DoSnapshotSet");
    ft.writeLine(L"Creating the shadow (DoSnapshotSet) ... ");
    std::unique_ptr<platform::VssAsync> pAsync;
    VSS_CHECK(L"m_pVssObject->DoSnapshotSet(&pAsync)", vssObject_->doSnapshotSet(&pAsync));
    waitAndCheckForAsyncOperation(pAsync.get(), L"VssClient::DoSnapshotSet");
    snapshotDone_ = true;
    if (writersTakePart())
        checkSelectedWriterStatus();
    ft.writeLine(L"Shadow copy set succesfully created.");
}

void VssClient::saveBackupComponentsDocument(const std::wstring& fileName) {
    VSS_FUNCTION_TRACER(L"VssClient::SaveBackupComponentsDocument");
    std::wstring bstrXML;
    VSS_CHECK(L"m_pVssObject->SaveAsXML(&bstrXML)", vssObject_->saveAsXml(&bstrXML));
    ft.writeLine(L"Writing the file '%s' ...", fileName);
    platform::FileHandle file;
    VSS_CHECK_WIN32(
        L"CreateFile(fileName.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, "
        L"FILE_ATTRIBUTE_NORMAL, NULL)",
        (file = platform::createFile(fileName, platform::kGenericWrite, 0, platform::kCreateAlways,
                                     platform::kFileAttributeNormal))
            .valid());
    std::string text = platform::toNarrow(bstrXML);
    std::uint32_t written = 0;
    VSS_CHECK_WIN32(
        L"WriteFile(hFile, text.c_str(), (DWORD)text.size(), &dwBytesWritten, NULL)",
        platform::writeFile(file, text.data(), static_cast<std::uint32_t>(text.size()), &written) &&
            written == text.size());
}

void VssClient::querySnapshotSet(const platform::Guid& snapshotSetId) {
    VSS_FUNCTION_TRACER(L"VssClient::QuerySnapshotSet");
    ft.writeLine(L"\nQuerying all shadow copies with the SnapshotSetID %s ...\n",
                 guid2WString(snapshotSetId));
    std::unique_ptr<platform::VssEnumSnapshots> pIEnumSnapshots;
    platform::HResult hr = vssObject_->querySnapshots(&pIEnumSnapshots);
    VSS_CHECK(
        L"m_pVssObject->Query( GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &pIEnumSnapshots )",
        hr);
    if (hr == platform::kSFalse || !pIEnumSnapshots) {
        ft.writeLine(L"\nThere are no shadow copies in the system\n");
        return;
    }
    while (true) {
        platform::VssSnapshotProperties prop;
        std::uint32_t ulFetched = 0;
        hr = pIEnumSnapshots->next(&prop, &ulFetched);
        VSS_CHECK(L"pIEnumSnapshots->Next( 1, &Prop, &ulFetched )", hr);
        if (hr == platform::kSFalse || ulFetched == 0)
            break;
        if (prop.snapshotSetId == snapshotSetId)
            printSnapshotProperties(prop);
    }
}

void VssClient::getSnapshotProperties(const platform::Guid& snapshotId,
                                      platform::VssSnapshotProperties* prop) {
    VSS_FUNCTION_TRACER(L"VssClient::GetSnapshotProperties");
    if (!vssObject_)
        throw VssOperationException(
            syncFailureMessage(L"VssClient::GetSnapshotProperties", platform::kVssEBadState),
            ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
    VSS_CHECK(L"m_pVssObject->GetSnapshotProperties(snapshotID, &Snap)",
              vssObject_->getSnapshotProperties(snapshotId, prop));
}

void VssClient::abortBackup() {
    VSS_FUNCTION_TRACER(L"VssClient::AbortBackup");
    ft.writeLine(L"Aborting the backup (AbortBackup) ... ");
    platform::HResult hr = vssObject_->abortBackup();
    if (platform::failed(hr)) {
        // The failure that led here is the one to report; this one is only logged.
        char code[16];
        std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
        logging::logWarn() << "AbortBackup failed with " << code;
    }
}

void VssClient::backupComplete(bool succeeded) {
    VSS_FUNCTION_TRACER(L"VssClient::BackupComplete");
    if (!snapshotDone_) {
        ft.writeLine(
            L"- Skipping BackupComplete & SetBackupSucceeded.  DoSnapshotSet was not completed...");
        return;
    }
    if (succeeded)
        ft.writeLine(L"- Mark all writers as succesfully backed up... ");
    else
        ft.writeLine(L"- Backup failed. Mark all writers as not succesfully backed up... ");
    setBackupSucceeded(succeeded);
    ft.writeLine(L"Completing the backup (BackupComplete) ... ");
    std::unique_ptr<platform::VssAsync> pAsync;
    VSS_CHECK(L"m_pVssObject->BackupComplete(&pAsync)", vssObject_->backupComplete(&pAsync));
    waitAndCheckForAsyncOperation(pAsync.get(), L"VssClient::BackupComplete");
    if (writersTakePart())
        checkSelectedWriterStatus();
    pAsync.reset();
}

void VssClient::setBackupSucceeded(bool succeeded) {
    VSS_FUNCTION_TRACER(L"VssClient::SetBackupSucceeded");
    for (const VssWriter& writer : writerList_) {
        if (writer.isExcluded)
            continue;
        for (const VssComponent& component : writer.components) {
            if (!component.isExplicitlyIncluded)
                continue;
            VSS_CHECK(
                L"m_pVssObject->SetBackupSucceeded( WString2Guid(writer.instanceId), "
                L"WString2Guid(writer.id), "
                L"component.type, component.logicalPath.c_str(), component.name.c_str(), "
                L"succeeded)",
                vssObject_->setBackupSucceeded(wString2Guid(writer.instanceId),
                                               wString2Guid(writer.id), component.type,
                                               component.logicalPath, component.name, succeeded));
        }
    }
}

}  // namespace vssclient
