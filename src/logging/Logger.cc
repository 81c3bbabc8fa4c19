#include "logging/Logger.h"

#include <ctime>
#include <iomanip>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>

#include "platform/System.h"

namespace logging {
namespace {

// The thread's peer logger, owned through a plain pointer: a thread_local with a destructor
// is unsafe where thread-local storage is emulated (MinGW), because the storage can be freed
// at thread exit before the destructor runs on it. So the slot has no destructor, and a
// thread that installs a logger removes it before it ends (setNetLogger(nullptr)); one that
// does not leaks its reference instead of touching freed memory.
thread_local std::shared_ptr<NetLogger>* threadNetLogger = nullptr;

std::shared_ptr<NetLogger> currentNetLogger() {
    return threadNetLogger ? *threadNetLogger : nullptr;
}

std::string timeStamp() {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t now = std::time(nullptr);
    // std::localtime is the one local-time conversion both systems' C libraries have (the
    // reentrant variants differ: localtime_r here, localtime_s there); it may share one
    // buffer between threads, so the copy is taken under a lock.
    std::tm local{};
    {
        static std::mutex lock;
        std::lock_guard<std::mutex> guard(lock);
        if (const std::tm* converted = std::localtime(&now))
            local = *converted;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%s-%02d %02d:%02d:%02d", local.tm_year + 1900,
                  kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec);
    return text;
}

}  // namespace

const char* logLevelName(LogLevel level) {
    switch (level) {
        case kLogError:
            return "ERROR";
        case kLogWarn:
            return "WARN";
        case kLogInfo:
            return "INFO";
        case kLogDebug:
            return "DEBUG";
        default:
            return "UNKNOWN";
    }
}

LogLine::LogLine(Logger& logger, LogLevel level, std::shared_ptr<FileLogger> file,
                 std::shared_ptr<NetLogger> net)
    : logger_(&logger), level_(level), file_(std::move(file)), net_(std::move(net)) {}

LogLine::~LogLine() {
    if (!stream_ || logger_ == nullptr)
        return;
    try {
        logger_->emit(level_, stream_->str(), file_.get(), net_.get());
    } catch (...) {
        // Only copying the text out of the stream can fail here (out of memory); the line
        // is lost, since a destructor must not throw and there is nowhere left to log it.
    }
}

Logger& Logger::get() {
    // Created on first use and never destroyed, so threads that log during process exit
    // never meet a destroyed logger.
    alignas(Logger) static unsigned char storage[sizeof(Logger)];
    static Logger* instance = ::new (storage) Logger();
    return *instance;
}

LogLine Logger::line(LogLevel level) {
    std::shared_ptr<FileLogger> file;
    {
        std::lock_guard<std::mutex> lock(sinksMutex_);
        file = file_;
    }
    return LogLine(*this, level, std::move(file), currentNetLogger());
}

void Logger::setFileLogger(std::shared_ptr<FileLogger> file) {
    std::lock_guard<std::mutex> lock(sinksMutex_);
    file_ = std::move(file);
}

std::shared_ptr<FileLogger> Logger::fileLogger() {
    std::lock_guard<std::mutex> lock(sinksMutex_);
    return file_;
}

void Logger::setSystemLogger(std::unique_ptr<SystemLogger> system) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    system_ = std::move(system);
}

void Logger::setNetLogger(std::shared_ptr<NetLogger> net) {
    if (net && threadNetLogger) {
        *threadNetLogger = std::move(net);
    } else if (net) {
        threadNetLogger = std::make_unique<std::shared_ptr<NetLogger>>(std::move(net)).release();
    } else {
        std::unique_ptr<std::shared_ptr<NetLogger>> owned(threadNetLogger);
        threadNetLogger = nullptr;
    }
}

std::shared_ptr<NetLogger> Logger::getNetLogger() {
    return currentNetLogger();
}

void Logger::drainNetLog(std::string& out) {
    if (threadNetLogger && *threadNetLogger)
        (*threadNetLogger)->drainInto(out);
}

std::string Logger::formatLine(LogLevel level, const std::string& message) {
    std::ostringstream line;
    line << timeStamp() << ' ' << std::setw(5) << std::right << logLevelName(level) << ' '
         << message;
    return line.str();
}

void Logger::emit(LogLevel level, const std::string& message, FileLogger* file, NetLogger* net) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    try {
        std::string line = formatLine(level, message);
        std::cout << line << std::endl;
        if (system_)
            system_->log(level, platform::toWide(message));
        if (file != nullptr)
            file->write(level, line);
        if (net != nullptr)
            net->write(level, message);
    } catch (...) {
        // A line that cannot be written is dropped; logging never fails its caller.
    }
}

}  // namespace logging
