// Tracing of snapshot calls, switched on by the "vsstrace" option.
#pragma once

namespace vssclient {

class FunctionTracer {
public:
    // Turns on the ENTER/EXIT trail and detailed step lines for the rest of the process.
    static void EnableTracingMode();
    static bool IsTracingEnabled();
};

}  // namespace vssclient
