// The process-wide logger. Every line goes to standard output, the system log, the log
// file (once attached) and, on threads that serve a connection, the connection's network
// queue (except DEBUG). Use: logging::logInfo() << "text " << value;
// The line is emitted when the temporary ends. Nothing here throws to the caller.
#pragma once

#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "logging/FileLogger.h"
#include "logging/LogLevel.h"
#include "logging/NetLogger.h"
#include "logging/SystemLogger.h"

namespace logging {

class Logger;

class LogLine {
  public:
    LogLine(LogLine&&) = default;
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;
    ~LogLine();

    template <typename T>
    LogLine& operator<<(const T& value) {
        try {
            if (!stream_)
                stream_ = std::make_unique<std::ostringstream>();
            *stream_ << value;
        } catch (...) {
            // Out of memory, or a value whose output operator throws: the line goes out
            // without it, since logging must never fail the code that logs.
        }
        return *this;
    }

  private:
    friend class Logger;
    LogLine(Logger& logger, LogLevel level, std::shared_ptr<FileLogger> file,
            std::shared_ptr<NetLogger> net);

    Logger* logger_;
    LogLevel level_;
    std::unique_ptr<std::ostringstream> stream_;
    std::shared_ptr<FileLogger> file_;
    std::shared_ptr<NetLogger> net_;
};

class Logger {
  public:
    static Logger& get();

    LogLine line(LogLevel level);

    void setFileLogger(std::shared_ptr<FileLogger> file);
    std::shared_ptr<FileLogger> fileLogger();
    void setSystemLogger(std::unique_ptr<SystemLogger> system);

    // The calling thread's network logger (empty on threads without a connection). A thread
    // that sets one clears it (nullptr) before it ends.
    void setNetLogger(std::shared_ptr<NetLogger> net);
    std::shared_ptr<NetLogger> getNetLogger();

    // Appends the calling thread's queued network records to out (nothing without one).
    void drainNetLog(std::string& out);

    // Serialises emission; also held while a network queue is drained.
    std::mutex& writeMutex() { return writeMutex_; }

    // Formats a console line: time stamp, level name right-aligned in 5 columns, message.
    static std::string formatLine(LogLevel level, const std::string& message);

  private:
    friend class LogLine;
    Logger() = default;
    void emit(LogLevel level, const std::string& message, FileLogger* file, NetLogger* net);

    std::mutex sinksMutex_;  // guards file_
    std::mutex writeMutex_;  // guards system_ and serialises emission
    std::unique_ptr<SystemLogger> system_;
    std::shared_ptr<FileLogger> file_;
};

inline LogLine logError() {
    return Logger::get().line(kLogError);
}
inline LogLine logWarn() {
    return Logger::get().line(kLogWarn);
}
inline LogLine logInfo() {
    return Logger::get().line(kLogInfo);
}
inline LogLine logDebug() {
    return Logger::get().line(kLogDebug);
}
inline LogLine logAt(LogLevel level) {
    return Logger::get().line(level);
}

}  // namespace logging
