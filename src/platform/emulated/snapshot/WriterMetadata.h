// The metadata objects of the emulated snapshot service's writers (from host.conf).
#pragma once

#include <memory>

#include "platform/Vss.h"
#include "platform/emulated/snapshot/SnapshotConfig.h"

namespace platform::emulated {

std::unique_ptr<VssExamineWriterMetadata> makeWriterMetadata(const WriterConfig& writer);

}  // namespace platform::emulated
