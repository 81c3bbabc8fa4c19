#include "vssclient/FunctionTracer.h"

#include <atomic>

#include "platform/System.h"

namespace vssclient {
namespace {

std::atomic<bool> tracingEnabled{false};

// The part of the path after the last separator (Windows or POSIX).
std::wstring fileName(const std::wstring& path) {
    std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

FunctionTracer::FunctionTracer(std::wstring file, int line, std::wstring function)
    : file_(std::move(file)), line_(line), function_(std::move(function)) {
    writeLine(L"ENTER %s", function_);
}

FunctionTracer::~FunctionTracer() {
    try {
        writeLine(L"EXIT %s", function_);
    } catch (...) {
        // A destructor must not throw; an over-long function name only loses its EXIT line.
    }
}

void FunctionTracer::enableTracingMode() {
    tracingEnabled = true;
    VSS_FUNCTION_TRACER(L"FunctionTracer::EnableTracingMode");
}

bool FunctionTracer::isTracingEnabled() {
    return tracingEnabled;
}

void FunctionTracer::emit(const std::wstring& file, int line, const std::wstring& function,
                          const std::wstring& text) {
    // Debugger viewers show each output call on its own line; the line end keeps lines
    // apart where the output is a plain stream.
    platform::outputDebugString(L"[[" + function + L" @ " + fileName(file) + L":" +
                                std::to_wstring(line) + L"]] " + text + L"\n");
}

std::wstring wideSourceFile(const char* file) {
    return platform::toWide(file);
}

}  // namespace vssclient
