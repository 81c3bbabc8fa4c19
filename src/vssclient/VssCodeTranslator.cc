#include "vssclient/VssCodeTranslator.h"

#include <array>

#include "platform/MessageText.h"

namespace vssclient {
namespace {

constexpr std::array<CodeText, 28> kVssCodes = {{
    {0x80042301, L"VSS_E_BAD_STATE",
     L"The Vardex Backup Agent was not in the correct state (Backup/Restore) for the operation."},
    {0x80042303, L"VSS_E_PROVIDER_ALREADY_REGISTERED",
     L"An attempt was made to register a provider that has already been registered."},
    {0x80042304, L"VSS_E_PROVIDER_NOT_REGISTERED",
     L"An attempt was made to access a provider that has not been registered."},
    {0x80042306, L"VSS_E_PROVIDER_VETO",
     L"A provider error occured.  The provider logged the error in the Application Event Log."},
    {0x80042307, L"VSS_E_PROVIDER_IN_USE",
     L"An attempt was made to gain exclusive access to a provider while it was in use."},
    {0x80042308, L"VSS_E_OBJECT_NOT_FOUND",
     L"The specified shadow copies were not found or the backup component does not exist."},
    {0x00042309, L"VSS_S_ASYNC_PENDING", L"An asynchronous operation is pending."},
    {0x0004230A, L"VSS_S_ASYNC_FINISHED", L"An asynchronous operation has finished."},
    {0x0004230B, L"VSS_S_ASYNC_CANCELLED", L"An asynchronous operation was cancelled."},
    {0x8004230C, L"VSS_E_VOLUME_NOT_SUPPORTED",
     L"The specified volume is not NTFS, has insufficient free space, or the operation is not "
     L"supported."},
    {0x8004230E, L"VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER",
     L"The provider does not support the specified volume."},
    {0x8004230D, L"VSS_E_OBJECT_ALREADY_EXISTS",
     L"An attempt was made to create an object which already exists."},
    {0x8004230F, L"VSS_E_UNEXPECTED_PROVIDER_ERROR",
     L"A provider specific error occured.  The provider logged the error in the event log."},
    {0x80042310, L"VSS_E_CORRUPT_XML_DOCUMENT", L"The Xml Document was corrupted."},
    {0x80042311, L"VSS_E_INVALID_XML_DOCUMENT", L"The Xml Document was invalid."},
    {0x80042312, L"VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED",
     L"The provider has reached the maximum number of snapshots it can support.  The volume was "
     L"not added to the shadow copy set."},
    {0x80042313, L"VSS_E_FLUSH_WRITES_TIMEOUT",
     L"The system was unable to flush I/O writes.  This can be a transient problem.  It is "
     L"recommended to wait ten minutes and try again, up to three times."},
    {0x80042314, L"VSS_E_HOLD_WRITES_TIMEOUT",
     L"The system was unable to hold I/O writes.  This can be a transient problem.  It is "
     L"recommended to wait ten minutes and try again, up to three times."},
    {0x80042315, L"VSS_E_UNEXPECTED_WRITER_ERROR",
     L"An unexpected error occurred during communication with writers.  The error code is logged "
     L"in the error log file."},
    {0x80042316, L"VSS_E_SNAPSHOT_SET_IN_PROGRESS",
     L"The creation of a shadow copy is in progress, and only one shadow copy creation operation "
     L"can be in progress at a time.  This can happen if multiple VSS-aware applications are "
     L"running on the same machine."},
    {0x80042317, L"VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED",
     L"The specified volume has already been added to the maximum number of shadow copy sets.  "
     L"The specified volume was not added to the shadow copy set."},
    {0x80042318, L"VSS_E_WRITER_INFRASTRUCTURE",
     L"The writer infrastructure is not operating properly.  Check that the Event Service and "
     L"VSS have been started, and check for errors associated with those services in the error "
     L"log."},
    {0x80042319, L"VSS_E_WRITER_NOT_RESPONDING",
     L"The writer is not responding.  It is possible that reducing the system load can resolve "
     L"the problem."},
    {0x8004231A, L"VSS_E_WRITER_ALREADY_SUBSCRIBED", L"The writer has already subsribed."},
    {0x8004231B, L"VSS_E_UNSUPPORTED_CONTEXT", L"The specified context is not supported."},
    {0x8004231D, L"VSS_E_VOLUME_IN_USE",
     L"A shadow copy is currently using the shadow copy storage area."},
    {0x8004231E, L"VSS_E_MAXIMUM_DIFFAREA_ASSOCIATIONS_REACHED",
     L"The maximum number of shadow copy storage areas has been added to the shaadow copy source "
     L"volume.  The specified shadow copy storage volume was not associated with the specified "
     L"shadow copy source volume."},
    {0x8004231F, L"VSS_E_INSUFFICIENT_STORAGE",
     L"There are not enough contiguous blocks on disk to create a shadow copy.  This problem can "
     L"usually be resolved by freeing up space and defragmenting the associated volume."},
}};

const wchar_t* commonCodeName(std::uint32_t code) {
    switch (code) {
        case 0x00000000:
            return L"S_OK";
        case 0x00000001:
            return L"S_FALSE";
        case 0x8000FFFF:
            return L"E_UNEXPECTED";
        case 0x8007000E:
            return L"E_OUTOFMEMORY";
        default:
            return nullptr;
    }
}

std::wstring withoutLineEnd(std::wstring text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    return text;
}

}  // namespace

VssCodeTranslator::VssCodeTranslator() : CodeTranslator(kVssCodes, true) {}

const VssCodeTranslator& VssCodeTranslator::instance() {
    static const VssCodeTranslator translator;
    return translator;
}

std::wstring VssCodeTranslator::translate(std::uint32_t code) const {
    std::wstring text = L"0x" + hex8(code);
    if (addsSystemText()) {
        std::wstring system = systemText(code);
        text +=
            L": " + (system.empty() ? std::wstring(L"Unable to display error message.") : system);
    }
    return text + L"\n";
}

std::wstring systemText(std::uint32_t code) {
    std::wstring text;
    if (platform::systemMessageText(code, &text))
        return withoutLineEnd(text);
    // Windows knows Win32 errors wrapped as results (0x8007xxxx) by their own number too.
    if ((code & 0xFFFF0000u) == 0x80070000u && platform::systemMessageText(code & 0xFFFFu, &text))
        return withoutLineEnd(text);
    return {};
}

std::wstring vssCodeName(platform::HResult code) {
    const CodeText* row = VssCodeTranslator::instance().find(static_cast<std::uint32_t>(code));
    return row != nullptr ? std::wstring(row->name) : std::wstring();
}

std::wstring codeName(platform::HResult code) {
    auto value = static_cast<std::uint32_t>(code);
    if (const wchar_t* name = commonCodeName(value))
        return name;
    std::wstring name = vssCodeName(code);
    if (!name.empty())
        return name;
    std::wstring system = systemText(value);
    return system.empty() ? std::wstring(L"<Unknown error code>") : system;
}

}  // namespace vssclient
