// The seam's snapshot-service objects over the real COM interfaces. Each takes over one
// reference of the pointer it is given.
#pragma once

#include <windows.h>

#include <vss.h>

#include <vswriter.h>

#include <vsbackup.h>

#include <cstring>
#include <memory>

#include "platform/Vss.h"

namespace platform::win32 {

static_assert(sizeof(Guid) == sizeof(GUID));

inline GUID toGUID(const Guid& guid) {
    GUID out;
    out.Data1 = guid.data1;
    out.Data2 = guid.data2;
    out.Data3 = guid.data3;
    std::memcpy(out.Data4, guid.data4.data(), sizeof out.Data4);
    return out;
}

inline Guid fromGUID(const GUID& guid) {
    Guid out;
    out.data1 = guid.Data1;
    out.data2 = guid.Data2;
    out.data3 = guid.Data3;
    std::memcpy(out.data4.data(), guid.Data4, sizeof guid.Data4);
    return out;
}

std::unique_ptr<VssAsync> wrapAsync(IVssAsync* async);
std::unique_ptr<VssExamineWriterMetadata> wrapWriterMetadata(IVssExamineWriterMetadata* metadata);
// Copies the record's strings and frees it with VssFreeSnapshotProperties.
VssSnapshotProperties takeSnapshotProperties(VSS_SNAPSHOT_PROP& prop);

}  // namespace platform::win32
