#include "logging/FileLogger.h"

#include "logging/Logger.h"

namespace logging {

namespace fs = std::filesystem;

FileLogger::FileLogger(fs::path path) : path_(std::move(path)) {
    if (!open(std::ios::app)) {
        logWarn() << "Failed to open log file: " << path_.string();
    }
}

bool FileLogger::open(std::ios::openmode mode) {
    stream_.close();
    stream_.clear();
    stream_.open(path_, std::ios::out | std::ios::binary | mode);
    std::error_code error;
    auto size = (mode & std::ios::app) ? fs::file_size(path_, error) : 0;
    size_ = error ? 0 : size;
    return stream_.is_open();
}

fs::path FileLogger::generation(int number) const {
    if (number == 0)
        return path_.parent_path() / "zentrad.log";
    return path_.parent_path() / ("zentrad." + std::to_string(number) + ".log");
}

void FileLogger::rotate() {
    stream_.close();
    for (int i = kGenerations; i >= 0; --i) {
        fs::path name = generation(i);
        if (!fs::exists(name))
            continue;
        if (i == kGenerations) {
            fs::remove(name);
        } else {
            fs::rename(name, generation(i + 1));
        }
    }
    open(std::ios::trunc);
}

void FileLogger::write(LogLevel, const std::string& line) {
    // A file that could not be opened, or was left closed by a failed rotation, is
    // tried again so that logging resumes once the directory is usable.
    if (!stream_.is_open() && !open(std::ios::app))
        return;
    if (size_ + line.size() > kMaxFileSize) {
        rotate();
        if (!stream_.is_open())
            return;
    }
    stream_ << line << '\n';
    stream_.flush();
    size_ += line.size() + 1;
}

}  // namespace logging
