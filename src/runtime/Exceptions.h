// The agent's exception family. Every error carries a fixed message, the signature of
// the function that threw it and the source line; what() gives
//   message + " (" + signature + ":" + line + ")"      ("-" for a line below 1).
// Throw with ZENTRAD_THROW(Type, message...) so the signature and line are filled in.
#pragma once

#include <stdexcept>
#include <string>

#if defined(_MSC_VER)
#define ZENTRAD_FUNCTION_SIGNATURE __FUNCSIG__
#else
#define ZENTRAD_FUNCTION_SIGNATURE __PRETTY_FUNCTION__
#endif

#define ZENTRAD_THROW(Type, ...) throw Type(__VA_ARGS__, ZENTRAD_FUNCTION_SIGNATURE, __LINE__)

namespace runtime {

class LocatedException : public std::exception {
  public:
    LocatedException(std::string message, std::string function, int line);
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::string& function() const noexcept { return function_; }
    int line() const noexcept { return line_; }

  protected:
    // For subclasses that put more between the message and the location.
    LocatedException(std::string message, const std::string& detail, std::string function,
                     int line);

  private:
    std::string message_;
    std::string function_;
    int line_;
    std::string text_;
};

class AgentException : public LocatedException {
  public:
    using LocatedException::LocatedException;
};

class DiskException : public LocatedException {
  public:
    using LocatedException::LocatedException;
};

class ShutdownException : public LocatedException {
  public:
    static constexpr const char* kMessage = "Service shutdown detected, shutting down..";
    using LocatedException::LocatedException;
    ShutdownException(std::string function, int line)
        : LocatedException(kMessage, std::move(function), line) {}
};

class VssException : public AgentException {
  public:
    using AgentException::AgentException;
};

}  // namespace runtime

// A failure concerning one file: the path follows the message as " (" + path + ")".
class AgentFileException : public runtime::AgentException {
  public:
    AgentFileException(std::string message, std::string path, std::string function, int line);
    const std::string& path() const noexcept { return path_; }

  private:
    std::string path_;
};
