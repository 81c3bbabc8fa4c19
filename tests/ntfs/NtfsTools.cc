#include "NtfsTools.h"

#include "common/RunCommand.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ntfstest {

namespace {

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

}  // namespace

bool toolsAvailable() {
    return std::system(
               "{ PATH=$PATH:/usr/sbin:/sbin; command -v mkntfs && command -v ntfscp && "
               "command -v ntfsinfo && command -v ntfscat; } >/dev/null 2>&1") == 0;
}

NtfsImage::NtfsImage(const std::filesystem::path& file, std::uint64_t bytes,
                     std::uint32_t clusterSize)
    : file_(file) {
    std::ofstream(file_).close();
    std::filesystem::resize_file(file_, bytes);
    test::runCommand("PATH=$PATH:/usr/sbin:/sbin mkntfs -F -Q -c " + std::to_string(clusterSize) +
                         " -s 512 " + quoted(file_.string()) + " >/dev/null",
                     test::ErrorOutput::discarded);
}

std::string NtfsImage::tool(const std::string& command) const {
    return test::runCommand("PATH=$PATH:/usr/sbin:/sbin " + command, test::ErrorOutput::discarded);
}

void NtfsImage::put(const std::string& ntfsPath, const std::string& contents) const {
    std::filesystem::path local = file_.string() + ".content";
    std::ofstream(local, std::ios::binary)
        .write(contents.data(), static_cast<std::streamsize>(contents.size()));
    tool("ntfscp -f " + quoted(file_.string()) + " " + quoted(local.string()) + " " +
         quoted(ntfsPath));
    std::filesystem::remove(local);
}

std::uint64_t NtfsImage::toolNumber(const std::string& label) const {
    std::string info = tool("ntfsinfo -m -f " + quoted(file_.string()));
    auto at = info.find(label + ":");
    return at == std::string::npos ? 0 : std::stoull(info.substr(at + label.size() + 1));
}

std::vector<std::uint8_t> NtfsImage::toolBitmap() const {
    std::string raw = tool("ntfscat -f " + quoted(file_.string()) + " '$Bitmap'");
    return std::vector<std::uint8_t>(raw.begin(), raw.end());
}

// ntfsinfo -v prints, for every segment of $DATA, a table after "Runlist:" of VCN, LCN
// ("<HOLE>" for sparse runs, "<RL_NOT_MAPPED>" for runs held by other segments) and length.
std::vector<ntfs::Extent> NtfsImage::toolRuns(const std::string& ntfsPath) const {
    std::string info = tool("ntfsinfo -v -f " + quoted(file_.string()) + " -F " + quoted(ntfsPath));
    std::vector<ntfs::Extent> runs;
    const std::string segment = "Dumping attribute $DATA (0x80)";
    for (auto at = info.find(segment); at != std::string::npos; at = info.find(segment, at + 1)) {
        auto table = info.find("Runlist:", at);
        if (table == std::string::npos || table > info.find("Dumping attribute", at + 1)) {
            continue;
        }
        std::istringstream lines(info.substr(info.find('\n', table) + 1));
        std::string vcn, lcn, length;
        while (lines >> vcn && vcn.rfind("0x", 0) == 0 && lines >> lcn >> length) {
            if (lcn == "<RL_NOT_MAPPED>") {
                continue;
            }
            bool hole = lcn.rfind("0x", 0) != 0;
            runs.push_back({std::stoull(vcn, nullptr, 16),
                            hole ? ntfs::kSparseLcn : std::stoll(lcn, nullptr, 16),
                            std::stoull(length, nullptr, 16)});
        }
    }
    return runs;
}

std::vector<std::uint8_t> NtfsImage::bytes() const {
    std::ifstream in(file_, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

ntfs::Result<ntfs::Volume> NtfsImage::open() const {
    auto stream = std::make_shared<std::ifstream>(file_, std::ios::binary);
    auto read = [stream](std::uint64_t offset, void* buffer, std::size_t length) {
        stream->clear();
        stream->seekg(static_cast<std::streamoff>(offset));
        stream->read(static_cast<char*>(buffer), static_cast<std::streamsize>(length));
        return static_cast<std::size_t>(stream->gcount()) == length;
    };
    return ntfs::Volume::open(read, std::filesystem::file_size(file_));
}

namespace {

bool isMountPoint(const std::filesystem::path& path) {
    struct stat inside {
    }, parent{};
    return stat(path.c_str(), &inside) == 0 && stat(path.parent_path().c_str(), &parent) == 0 &&
           inside.st_dev != parent.st_dev;
}

}  // namespace

FuseMount::FuseMount(const std::filesystem::path& image, const std::filesystem::path& mountPoint)
    : mountPoint_(mountPoint) {
    std::filesystem::create_directories(mountPoint_);
    if (access("/dev/fuse", R_OK | W_OK) != 0 ||
        std::system("command -v ntfs-3g >/dev/null 2>&1") != 0) {
        return;
    }
    child_ = fork();
    if (child_ == 0) {
        int quiet = ::open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        execlp("ntfs-3g", "ntfs-3g", "-o", "no_detach", image.c_str(), mountPoint_.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int tries = 0; tries < 200 && child_ > 0; ++tries) {
        if (isMountPoint(mountPoint_)) {
            mounted_ = true;
            return;
        }
        if (waitpid(child_, nullptr, WNOHANG) == child_) {
            child_ = -1;  // ntfs-3g gave up
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    unmount();
}

void FuseMount::unmount() {
    if (child_ <= 0) {
        return;
    }
    std::string target = "'" + mountPoint_.string() + "'";
    if (std::system(("fusermount -u " + target + " >/dev/null 2>&1 || umount " + target +
                     " >/dev/null 2>&1")
                        .c_str()) != 0) {
        kill(child_, SIGTERM);
    }
    waitpid(child_, nullptr, 0);
    child_ = -1;
    mounted_ = false;
}

FuseMount::~FuseMount() {
    unmount();
}

ntfs::Result<ntfs::Volume> openBytes(const std::vector<std::uint8_t>& bytes) {
    auto read = [&bytes](std::uint64_t offset, void* buffer, std::size_t length) {
        std::memcpy(buffer, bytes.data() + offset, length);
        return true;
    };
    return ntfs::Volume::open(read, bytes.size());
}

}  // namespace ntfstest
