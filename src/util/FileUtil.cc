#include "util/FileUtil.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <thread>

#include "platform/ByteOrder.h"
#include "platform/FileSecurity.h"
#include "util/UtilException.h"

namespace util::files {
namespace {

// About half a second of retries for a replacement that an open reader holds up.
constexpr int kReplaceAttempts = 50;

std::string hex(std::uint32_t value) {
    std::ostringstream text;
    text << std::hex << value;
    return text.str();
}

// A name no other writer in this or another process picks at the same time.
std::filesystem::path temporaryPathFor(const std::filesystem::path& path) {
    static std::atomic<std::uint64_t> counter{0};
    static const std::uint64_t processSalt = std::random_device{}();
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::ostringstream suffix;
    suffix << ".tmp-" << std::hex << processSalt << '-' << now << '-' << counter++;
    std::filesystem::path result = path;
    result += suffix.str();
    return result;
}

bool writeWhole(const std::filesystem::path& path, std::string_view content, Access access) {
    // Created empty and protected first, so the secret never sits in a readable file.
    if (access == Access::administratorsOnly && !platform::createProtectedFile(path))
        return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return !out.fail();
}

}  // namespace

std::string readFile(const std::filesystem::path& path, std::size_t maxBytes) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > maxBytes)
        return {};
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream content;
    content << in.rdbuf();
    std::string result = content.str();
    // The file may have grown since its size was taken.
    if (result.size() > maxBytes)
        return {};
    return result;
}

void verifyMagic(std::istream& in, std::uint32_t expected) {
    char bytes[4];
    if (!in.read(bytes, sizeof bytes))
        ZENTRAD_UTIL_THROW("failed to read magic number");
    const std::uint32_t value = platform::loadU32(bytes);
    if (value != expected) {
        ZENTRAD_UTIL_THROW("Invalid magic number (" + hex(value) + ") expected (" + hex(expected) +
                           ")");
    }
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view content,
                         Access access) {
    const std::filesystem::path temporary = temporaryPathFor(path);
    std::error_code ignored;
    if (!writeWhole(temporary, content, access)) {
        std::filesystem::remove(temporary, ignored);
        ZENTRAD_UTIL_THROW("failed to write to file (" + path.string() + ")");
    }
    // Windows refuses to replace a file that someone has open without delete sharing (a
    // reader of the old contents, say, or another replacement in progress); those hold it
    // briefly, so the replacement is retried for a bounded time before it counts as failed.
    std::error_code error;
    for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
        std::filesystem::rename(temporary, path, error);
        if (!error || error != std::errc::permission_denied)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (error) {
        std::filesystem::remove(temporary, ignored);
        ZENTRAD_UTIL_THROW("failed to replace file (" + path.string() + "): " + error.message());
    }
}

}  // namespace util::files
