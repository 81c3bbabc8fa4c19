#include "winutil/vssclient/FunctionTracer.h"

#include <atomic>

namespace vssclient {
namespace {

std::atomic<bool> tracingEnabled{false};

}  // namespace

void FunctionTracer::EnableTracingMode() { tracingEnabled = true; }

bool FunctionTracer::IsTracingEnabled() { return tracingEnabled; }

}  // namespace vssclient
