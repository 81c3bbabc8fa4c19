// Commands that change a volume's contents: mkfs, put, write. Every change reaches the disk
// images through the emulated write path.
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <random>

#include "Arguments.h"
#include "Commands.h"
#include "ExternalTool.h"
#include "HostAccess.h"
#include "ImageEditing.h"
#include "platform/System.h"
#include "platform/emulated/storage/NtfsQueries.h"

namespace hostsim {
namespace {

using platform::emulated::VolumeByteSource;
using platform::emulated::VolumeInfo;

std::shared_ptr<VolumeByteSource> writableSource(const VolumeInfo& volume) {
    auto source = platform::emulated::liveVolumeSource(currentHost(), volume, true);
    if (!source) {
        throw std::runtime_error("cannot open the disks of " + platform::toNarrow(volume.guidPath));
    }
    return source;
}

// Extracts the volume, lets the tool change the copy and writes the differences back.
void editThroughImage(const VolumeInfo& volume,
                      const std::function<void(const std::filesystem::path&)>& tool) {
    auto source = writableSource(volume);
    TemporaryFile image(".img");
    extractImage(*source, image.path());
    tool(image.path());
    auto result = writeBackDifferences(image.path(), *source);
    std::cout << platform::toNarrow(volume.guidPath) << ": " << result.changedBytes
              << " bytes changed in " << result.writes << " writes\n";
}

int mkfs(const std::vector<std::string>& args) {
    Arguments arguments(args, {});
    auto volume = selectVolume(arguments.positional(1)[0]);
    std::string clusterSize =
        std::to_string(parseSize(arguments.option("cluster-size").value_or("4096")));
    std::string start =
        std::to_string(volume.extents.front().offset / platform::emulated::kSectorSize);
    std::vector<std::string> command = {"mkntfs", "-F", "-Q",  "-q", "-c",  clusterSize, "-s",
                                        "512",    "-p", start, "-H", "255", "-S",        "63"};
    if (auto label = arguments.option("label")) {
        command.push_back("-L");
        command.push_back(*label);
    }
    editThroughImage(volume, [&command](const std::filesystem::path& image) {
        auto full = command;
        full.push_back(image.string());
        runTool(full);
    });
    return 0;
}

int put(const std::vector<std::string>& args) {
    const auto& positional = Arguments(args, {}).positional(3);
    auto volume = selectVolume(positional[0]);
    std::string source = positional[1];
    std::string destination = positional[2];
    if (destination.empty() || destination.front() != '/')
        destination = "/" + destination;
    if (!std::filesystem::is_regular_file(source))
        throw UsageError("no file " + source);
    editThroughImage(volume, [&](const std::filesystem::path& image) {
        runTool({"ntfscp", "-f", image.string(), source, destination});
    });
    return 0;
}

std::vector<std::uint8_t> dataToWrite(const Arguments& arguments, std::size_t length) {
    std::vector<std::uint8_t> data(length, 0);
    if (arguments.flag("random")) {
        std::mt19937_64 generator(arguments.option("seed") ? parseNumber(*arguments.option("seed"))
                                                           : std::random_device{}());
        for (auto& byte : data)
            byte = static_cast<std::uint8_t>(generator());
    } else if (auto byte = arguments.option("byte")) {
        std::fill(data.begin(), data.end(), static_cast<std::uint8_t>(parseNumber(*byte)));
    } else if (auto file = arguments.option("file")) {
        std::ifstream in(*file, std::ios::binary);
        // istreambuf_iterator reads to the end without setting the stream's state, so only
        // the open tells whether the file was there.
        if (!in.is_open())
            throw UsageError(*file + " is missing or too long");
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        if (bytes.size() > length)
            throw UsageError(*file + " is missing or too long");
        std::copy(bytes.begin(), bytes.end(), data.begin());
    } else {
        throw UsageError("write needs --random, --byte B or --file F");
    }
    return data;
}

int write(const std::vector<std::string>& args) {
    Arguments arguments(args, {"random"});
    auto volume = selectVolume(arguments.positional(1)[0]);
    auto source = writableSource(volume);
    std::uint64_t clusterSize = arguments.option("cluster-size")
                                    ? parseSize(*arguments.option("cluster-size"))
                                    : platform::emulated::ntfsClusterSize(*source);
    if (clusterSize == 0 || clusterSize % platform::emulated::kSectorSize != 0) {
        throw UsageError("the volume holds no NTFS: give --cluster-size");
    }
    std::uint64_t first = parseNumber(arguments.required("cluster"));
    std::uint64_t count = parseNumber(arguments.option("count").value_or("1"));
    std::uint64_t clusters = source->size() / clusterSize;
    if (count == 0 || count > clusters || first > clusters - count ||
        count * clusterSize > (64u << 20)) {
        throw UsageError("clusters outside the volume (it has " + std::to_string(clusters) +
                         "), or more than 64M at once");
    }
    auto data = dataToWrite(arguments, static_cast<std::size_t>(count * clusterSize));
    if (!source->write(first * clusterSize, data.data(), data.size())) {
        throw std::runtime_error("write failed: " + platform::toNarrow(platform::formatMessage(
                                                        platform::getLastError())));
    }
    std::cout << "wrote clusters " << first << ".." << first + count - 1 << " (" << data.size()
              << " bytes)\n";
    return 0;
}

}  // namespace
}  // namespace hostsim

std::vector<Command> volumeCommands() {
    using namespace hostsim;
    return {
        {"mkfs",
         "mkfs VOLUME [--cluster-size SIZE] [--label L]\n"
         "                          NTFS on the volume (mkntfs on a copy; changes written back)",
         mkfs},
        {"put", "put VOLUME FILE /PATH       copy a file into the volume's NTFS (ntfscp)", put},
        {"write",
         "write VOLUME --cluster N [--count K] (--random [--seed S] | --byte B | --file F)\n"
         "      [--cluster-size SIZE]\n"
         "                          overwrite clusters of the volume",
         write},
    };
}
