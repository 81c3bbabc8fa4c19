#include "vssclient/VssClient.h"

#include "platform/File.h"
#include "platform/System.h"
#include "vssclient/FunctionTracer.h"
#include "vssclient/VssMessages.h"
#include "vssclient/VssUtil.h"

namespace vssclient {
namespace {

void PrintSnapshotProperties(const platform::VssSnapshotProperties& prop) {
    VSS_FUNCTION_TRACER(L"PrintSnapshotProperties");
    ft.WriteLine(L"* SNAPSHOT ID = %s ...", Guid2WString(prop.snapshotId));
    ft.WriteLine(L"   - Shadow copy Set: %s", Guid2WString(prop.snapshotSetId));
    ft.WriteLine(L"   - Original count of shadow copies = %d", prop.snapshotsCount);
    ft.WriteLine(L"   - Original Volume name: %s [%s]", prop.originalVolumeName,
                 GetDisplayNameForVolume(prop.originalVolumeName));
    ft.WriteLine(L"   - Creation Time: %lld", prop.creationTimestamp);
    ft.WriteLine(L"   - Shadow copy device name: %s", prop.snapshotDeviceObject);
    ft.WriteLine(L"   - Originating machine: %s", prop.originatingMachine);
    ft.WriteLine(L"   - Service machine: %s", prop.serviceMachine);
    if (!prop.exposedName.empty())
        ft.WriteLine(L"   - Exposed name: %s", prop.exposedName);
    if (!prop.exposedPath.empty())
        ft.WriteLine(L"   - Exposed path: %s", prop.exposedPath);
    ft.WriteLine(L"   - Provider id: %s", Guid2WString(prop.providerId));
    ft.WriteLine(L"   - Attributes: 0x%08x", static_cast<std::uint32_t>(prop.snapshotAttributes));
}

}  // namespace

VssClient::VssClient() = default;

VssClient::~VssClient() {
    if (writerMetadataGathered && m_pVssObject)
        m_pVssObject->freeWriterMetadata();
    excludedWriterList.clear();
    m_pVssObject.reset();
}

void VssClient::Initialize(std::uint32_t, const std::wstring& xmlDoc, bool) {
    VSS_FUNCTION_TRACER(L"VssClient::Initialize");
    VSS_CHECK_COM(L"CreateVssBackupComponents(&m_pVssObject)",
                  platform::createVssBackupComponents(&m_pVssObject));
    duringRestore = false;
    if (!xmlDoc.empty()) {
        VSS_CHECK(L"m_pVssObject->InitializeForBackup(CComBSTR(xmlDoc.c_str()))",
                  m_pVssObject->initializeForBackup(&xmlDoc));
    } else {
        VSS_CHECK(L"m_pVssObject->InitializeForBackup()",
                  m_pVssObject->initializeForBackup(nullptr));
    }
    context = 0;
    VSS_CHECK(L"m_pVssObject->SetBackupState(true, true, VSS_BT_FULL, false)",
              m_pVssObject->setBackupState(true, true, platform::kVssBtFull, false));
}

void VssClient::CreateSnapshotSet(const std::vector<std::wstring>& volumes,
                                  const std::wstring& outXmlFile,
                                  const std::vector<std::wstring>& excludedWriters,
                                  const std::vector<std::wstring>& includedComponents) {
    VSS_FUNCTION_TRACER(L"VssClient::CreateSnapshotSet");
    if (!m_pVssObject)
        throw VssOperationException(
            syncFailureMessage(L"VssClient::CreateSnapshotSet", platform::kVssEBadState),
            ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
    if (WritersTakePart()) {
        GatherWriterMetadata();
        SelectComponentsForBackup(volumes, excludedWriters, includedComponents);
    }
    VSS_CHECK(L"m_pVssObject->StartSnapshotSet(&m_latestSnapshotSetID)",
              m_pVssObject->startSnapshotSet(&m_latestSnapshotSetID));
    ft.WriteLine(L"Creating shadow set %s ...", Guid2WString(m_latestSnapshotSetID));
    AddToSnapshotSet(volumes);
    if (WritersTakePart()) {
        ft.WriteLine(L"Preparing for backup ... ");
        PrepareForBackup();
        CheckSelectedWriterStatus();
    }
    DoSnapshotSet();
    if (!outXmlFile.empty())
        SaveBackupComponentsDocument(outXmlFile);
    if ((context & kVssVolsnapAttrNoAutorelease) == 0) {
        ft.WriteLine(L"\nList of created shadow copies: \n");
        QuerySnapshotSet(m_latestSnapshotSetID);
    }
}

void VssClient::AddToSnapshotSet(const std::vector<std::wstring>& volumes) {
    VSS_FUNCTION_TRACER(L"VssClient::AddToSnapshotSet");
    volumeList = volumes;
    snapshotIdList.clear();
    for (const std::wstring& volume : volumeList) {
        ft.WriteLine(L"- Adding volume %s [%s] to the shadow set...", volume,
                     GetDisplayNameForVolume(volume));
        platform::Guid SnapshotID;
        VSS_CHECK(L"m_pVssObject->AddToSnapshotSet((LPWSTR)volume.c_str(), GUID_NULL, &SnapshotID)",
                  m_pVssObject->addToSnapshotSet(volume, platform::Guid{}, &SnapshotID));
        snapshotIdList.push_back(SnapshotID);
    }
}

void VssClient::PrepareForBackup() {
    VSS_FUNCTION_TRACER(L"VssClient::PrepareForBackup");
    std::unique_ptr<platform::VssAsync> pAsync;
    VSS_CHECK(L"m_pVssObject->PrepareForBackup(&pAsync)", m_pVssObject->prepareForBackup(&pAsync));
    WaitAndCheckForAsyncOperation(pAsync.get(), L"VssClient::PrepareForBackup");
}

void VssClient::DoSnapshotSet() {
    VSS_FUNCTION_TRACER(L"VssClient::DoSnapshotSet");
    ft.WriteLine(L"Creating the shadow (DoSnapshotSet) ... ");
    std::unique_ptr<platform::VssAsync> pAsync;
    VSS_CHECK(L"m_pVssObject->DoSnapshotSet(&pAsync)", m_pVssObject->doSnapshotSet(&pAsync));
    WaitAndCheckForAsyncOperation(pAsync.get(), L"VssClient::DoSnapshotSet");
    snapshotDone = true;
    if (WritersTakePart())
        CheckSelectedWriterStatus();
    ft.WriteLine(L"Shadow copy set succesfully created.");
}

void VssClient::SaveBackupComponentsDocument(const std::wstring& fileName) {
    VSS_FUNCTION_TRACER(L"VssClient::SaveBackupComponentsDocument");
    std::wstring bstrXML;
    VSS_CHECK(L"m_pVssObject->SaveAsXML(&bstrXML)", m_pVssObject->saveAsXml(&bstrXML));
    ft.WriteLine(L"Writing the file '%s' ...", fileName);
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

void VssClient::QuerySnapshotSet(const platform::Guid& snapshotSetId) {
    VSS_FUNCTION_TRACER(L"VssClient::QuerySnapshotSet");
    ft.WriteLine(L"\nQuerying all shadow copies with the SnapshotSetID %s ...\n",
                 Guid2WString(snapshotSetId));
    std::unique_ptr<platform::VssEnumSnapshots> pIEnumSnapshots;
    platform::HResult hr = m_pVssObject->querySnapshots(&pIEnumSnapshots);
    VSS_CHECK(
        L"m_pVssObject->Query( GUID_NULL, VSS_OBJECT_NONE, VSS_OBJECT_SNAPSHOT, &pIEnumSnapshots )",
        hr);
    if (hr == platform::kSFalse || !pIEnumSnapshots) {
        ft.WriteLine(L"\nThere are no shadow copies in the system\n");
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
            PrintSnapshotProperties(prop);
    }
}

void VssClient::GetSnapshotProperties(const platform::Guid& snapshotId,
                                      platform::VssSnapshotProperties* prop) {
    VSS_FUNCTION_TRACER(L"VssClient::GetSnapshotProperties");
    if (!m_pVssObject)
        throw VssOperationException(
            syncFailureMessage(L"VssClient::GetSnapshotProperties", platform::kVssEBadState),
            ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
    VSS_CHECK(L"m_pVssObject->GetSnapshotProperties(snapshotID, &Snap)",
              m_pVssObject->getSnapshotProperties(snapshotId, prop));
}

void VssClient::BackupComplete(bool succeeded) {
    VSS_FUNCTION_TRACER(L"VssClient::BackupComplete");
    if (!snapshotDone) {
        ft.WriteLine(
            L"- Skipping BackupComplete & SetBackupSucceeded.  DoSnapshotSet was not completed...");
        return;
    }
    if (succeeded)
        ft.WriteLine(L"- Mark all writers as succesfully backed up... ");
    else
        ft.WriteLine(L"- Backup failed. Mark all writers as not succesfully backed up... ");
    SetBackupSucceeded(succeeded);
    ft.WriteLine(L"Completing the backup (BackupComplete) ... ");
    std::unique_ptr<platform::VssAsync> pAsync;
    VSS_CHECK(L"m_pVssObject->BackupComplete(&pAsync)", m_pVssObject->backupComplete(&pAsync));
    WaitAndCheckForAsyncOperation(pAsync.get(), L"VssClient::BackupComplete");
    if (WritersTakePart())
        CheckSelectedWriterStatus();
    pAsync.reset();
}

void VssClient::SetBackupSucceeded(bool succeeded) {
    VSS_FUNCTION_TRACER(L"VssClient::SetBackupSucceeded");
    for (const VssWriter& writer : writerList) {
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
                m_pVssObject->setBackupSucceeded(WString2Guid(writer.instanceId),
                                                 WString2Guid(writer.id), component.type,
                                                 component.logicalPath, component.name, succeeded));
        }
    }
}

}  // namespace vssclient
