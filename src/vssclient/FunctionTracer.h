// Tracing of snapshot calls, switched on by the "vsstrace" option. Each traced function
// owns a FunctionTracer, which writes "ENTER <function>" when built and "EXIT <function>"
// when destroyed; WriteLine adds detailed step lines. Every line goes to the debugger
// output as "[[<function> @ <file name>:<line>]] <text>" (the emulated host writes
// debugger output to standard error). Without tracing nothing is formatted or written.
//
// Thread safety: the flag is set once at start-up; tracers may be used on any thread.
#pragma once

#include <string>
#include <string_view>

#include "vssclient/TraceFormat.h"

namespace vssclient {

class FunctionTracer {
  public:
    FunctionTracer(std::wstring file, int line, std::wstring function);
    ~FunctionTracer();
    FunctionTracer(const FunctionTracer&) = delete;
    FunctionTracer& operator=(const FunctionTracer&) = delete;

    // Turns on the ENTER/EXIT trail and detailed step lines for the rest of the process.
    static void enableTracingMode();
    static bool isTracingEnabled();

    // Formats printf-style and traces with this tracer's file, line and function. Throws
    // runtime::AgentException for an over-long text.
    template <typename... Args>
    void writeLine(std::wstring_view format, const Args&... args) const {
        if (isTracingEnabled())
            emit(file_, line_, function_, formatTrace(format, {TraceArg(args)...}));
    }

    template <typename... Args>
    static void trace(const std::wstring& file, int line, const std::wstring& function,
                      std::wstring_view format, const Args&... args) {
        if (isTracingEnabled())
            emit(file, line, function, formatTrace(format, {TraceArg(args)...}));
    }

  private:
    static void emit(const std::wstring& file, int line, const std::wstring& function,
                     const std::wstring& text);

    std::wstring file_;
    int line_;
    std::wstring function_;
};

// The source file of the calling code as a wide string.
std::wstring wideSourceFile(const char* file);

}  // namespace vssclient

// Declares the tracer "ft" of the enclosing function.
#define VSS_FUNCTION_TRACER(function) \
    ::vssclient::FunctionTracer ft(::vssclient::wideSourceFile(__FILE__), __LINE__, function)
