// Waiting for the service's asynchronous operations within the snapshot time-out.
#include <chrono>
#include <thread>

#include "runtime/RunState.h"
#include "vssclient/FunctionTracer.h"
#include "vssclient/VssClient.h"
#include "vssclient/VssMessages.h"

namespace vssclient {
namespace {

constexpr std::int64_t kPollMilliseconds = 100;

// The time-out in milliseconds; 0 means no limit. 64 bits, so that large settings do not
// wrap into a negative limit.
std::int64_t timeoutMilliseconds(std::int32_t seconds) {
    return static_cast<std::int64_t>(seconds) * 1000;
}

platform::HResult queryStatus(platform::VssAsync* async) {
    platform::HResult status = platform::kSOk;
    VSS_CHECK(L"pAsync->QueryStatus(&hrReturned, NULL)", async->queryStatus(&status));
    return status;
}

}  // namespace

void VssClient::waitAndCheckForAsyncOperation(platform::VssAsync* async,
                                              const std::wstring& operationName) {
    VSS_FUNCTION_TRACER(L"VssClient::WaitAndCheckForAsyncOperation");
    ft.writeLine(L"(Waiting for the asynchronous operation to finish...)");
    if (async == nullptr)
        throw VssOperationException(syncFailureMessage(operationName, platform::kEPointer),
                                    ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
    std::int64_t limit = timeoutMilliseconds(timeoutSeconds_);
    const bool unlimited = limit == 0;
    // Asked at once: most operations have finished by the time they are waited for, and a
    // first sleep would add a poll interval to every step of every snapshot. Polled even
    // without a limit, so that a stop request ends an operation that never completes.
    platform::HResult status = queryStatus(async);
    while ((unlimited || limit > 0) && status == platform::kVssSAsyncPending) {
        if (!runtime::isRunning()) {
            async->cancel();
            ZENTRAD_THROW_SHUTDOWN();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMilliseconds));
        limit -= kPollMilliseconds;
        status = queryStatus(async);
    }
    status = queryStatus(async);
    if (status == platform::kVssSAsyncPending) {
        async->cancel();
        throw VssOperationException(timeoutMessage(operationName), ZENTRAD_FUNCTION_SIGNATURE,
                                    __LINE__);
    }
    if (platform::failed(status))
        throw VssOperationException(asyncFailureMessage(operationName, status),
                                    ZENTRAD_FUNCTION_SIGNATURE, __LINE__);
}

}  // namespace vssclient
