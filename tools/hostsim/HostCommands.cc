// Commands that lay out a host: init, add-disk, media, span, optical, letter, fault.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Arguments.h"
#include "Commands.h"
#include "ExternalTool.h"
#include "HostAccess.h"
#include "ImageEditing.h"
#include "platform/System.h"

namespace hostsim {
namespace {

namespace fs = std::filesystem;
using platform::emulated::DiskImage;
using platform::emulated::kSectorSize;

int init(const std::vector<std::string>& args) {
    Arguments(args, {}).positional(0);
    fs::path root = currentHost().root();
    fs::create_directories(root / "disks");
    fs::create_directories(root / "drives");
    if (!fs::exists(currentHost().configFile())) {
        std::ofstream out(currentHost().configFile());
        out << "# Emulated Windows host (see 'hostsim help' for the keys).\n";
    }
    std::cout << "host " << root.string() << "\n";
    return 0;
}

std::uint32_t nextDiskNumber() {
    std::uint32_t number = 0;
    while (fs::exists(DiskImage::imagePath(currentHost(), number)))
        ++number;
    return number;
}

void createZeroImage(const fs::path& file, std::uint64_t size) {
    platform::FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.valid() || ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
        throw std::runtime_error("cannot create " + file.string());
    }
}

// "gpt" or "dos" (the default).
std::string tableLabel(const Arguments& arguments) {
    std::string label = arguments.option("label").value_or("dos");
    if (label != "dos" && label != "gpt")
        throw UsageError("a disk label is dos or gpt, not '" + label + "'");
    return label;
}

std::string layoutScript(const Arguments& arguments, bool dynamic) {
    std::ostringstream script;
    bool gpt = tableLabel(arguments) == "gpt";
    script << "label: " << (gpt ? "gpt" : "dos") << "\n";
    if (auto guid = arguments.option("disk-guid"); guid && gpt) {
        script << "label-id: " << *guid << "\n";
    }
    if (auto signature = arguments.option("signature"); signature && !gpt) {
        script << "label-id: 0x" << std::hex << parseNumber(*signature) << std::dec << "\n";
    }
    if (dynamic) {
        script << "start=63, type=42\n";
    } else if (auto layout = arguments.option("layout")) {
        std::ifstream in(*layout == "-" ? "/dev/stdin" : *layout);
        if (!in)
            throw UsageError("cannot read " + *layout);
        script << in.rdbuf();
    }
    for (const auto& part : arguments.all("part"))
        script << part << "\n";
    return script.str();
}

// The logical disk manager's private header (sector 6) and its database area (the last
// 2048 sectors): the header holds the database's first sector, big-endian, at byte 299.
void writeDynamicDiskDatabase(DiskByteSource& disk) {
    std::uint64_t sectors = disk.size() / kSectorSize;
    std::uint64_t database = sectors - 2048;
    std::vector<std::uint8_t> header(kSectorSize, 0);
    std::memcpy(header.data(), "PRIVHEAD", 8);
    auto putBig64 = [&header](std::size_t at, std::uint64_t value) {
        for (int i = 0; i < 8; ++i)
            header[at + i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
    };
    putBig64(283, 63);
    putBig64(291, database - 63);
    putBig64(299, database);
    putBig64(307, 2048);
    std::vector<std::uint8_t> area(2048 * kSectorSize, 0);
    for (std::size_t i = 0; i < 2048; ++i) {
        std::snprintf(reinterpret_cast<char*>(area.data() + i * kSectorSize), 32, "VMDB %zu", i);
    }
    if (!disk.write(6 * kSectorSize, header.data(), header.size()) ||
        !disk.write(database * kSectorSize, area.data(), area.size())) {
        throw std::runtime_error("cannot write the dynamic disk database");
    }
}

int addDisk(const std::vector<std::string>& args) {
    Arguments arguments(args, {"dynamic"});
    arguments.positional(0);
    std::uint64_t size = parseSize(arguments.required("size"));
    bool dynamic = arguments.flag("dynamic");
    if (dynamic && tableLabel(arguments) == "gpt")
        throw UsageError("--dynamic makes an MBR disk; it cannot be combined with --label gpt");
    if (size < (dynamic ? 4 : 1) * (1ULL << 20) || size % kSectorSize != 0) {
        throw UsageError("a disk needs a whole number of sectors and at least 1M (4M dynamic)");
    }
    std::uint32_t number =
        arguments.option("number")
            ? static_cast<std::uint32_t>(parseNumber(*arguments.option("number")))
            : nextDiskNumber();
    fs::create_directories(currentHost().root() / "disks");
    createZeroImage(DiskImage::imagePath(currentHost(), number), size);
    auto image = DiskImage::open(currentHost(), number, true);
    if (!image)
        throw std::runtime_error("cannot open the new disk");
    DiskByteSource disk(std::move(image));
    std::string script = layoutScript(arguments, dynamic);
    if (script != "label: dos\n" || arguments.option("signature")) {
        // sfdisk writes a GPT's backup header at the end of the image it is given, so the
        // copy has the disk's full size.
        TemporaryFile table(".img");
        TemporaryFile input(".sfdisk");
        std::ofstream(input.path()) << script;
        fs::resize_file(table.path(), size);
        runTool({"sfdisk", "--no-reread", "--no-tell-kernel", "-q", table.path().string()},
                input.path());
        writeBackDifferences(table.path(), disk);
    }
    if (dynamic)
        writeDynamicDiskDatabase(disk);
    std::cout << "disk " << number << ": \\\\.\\PHYSICALDRIVE" << number << ", " << size
              << " bytes\n";
    return 0;
}

int media(const std::vector<std::string>& args) {
    const auto& positional = Arguments(args, {}).positional(2);
    const std::string& kind = positional[1];
    if (kind != "fixed" && kind != "removable" && kind != "not-ready") {
        throw UsageError("media is fixed, removable or not-ready");
    }
    auto config = loadConfig();
    config.set("disk " + std::to_string(parseNumber(positional[0])), "media", kind);
    saveConfig(config);
    return 0;
}

// "DISK:OFFSET:LENGTH" with sizes ("1:1M:64M") into "DISK OFFSET LENGTH".
std::string extentLine(const std::string& text) {
    auto first = text.find(':');
    auto second = text.find(':', first == std::string::npos ? first : first + 1);
    if (first == std::string::npos || second == std::string::npos) {
        throw UsageError("an extent is DISK:OFFSET:LENGTH, not '" + text + "'");
    }
    return std::to_string(parseNumber(text.substr(0, first))) + " " +
           std::to_string(parseSize(text.substr(first + 1, second - first - 1))) + " " +
           std::to_string(parseSize(text.substr(second + 1)));
}

int span(const std::vector<std::string>& args) {
    Arguments arguments(args, {});
    std::string section = "spanned " + arguments.positional(1)[0];
    auto extents = arguments.all("extent");
    if (extents.empty())
        throw UsageError("a spanned volume needs --extent DISK:OFFSET:LENGTH");
    auto config = loadConfig();
    config.removeSection(section);
    if (auto guid = arguments.option("guid"))
        config.set(section, "guid", *guid);
    for (const auto& extent : extents)
        config.add(section, "extent", extentLine(extent));
    saveConfig(config);
    std::cout << platform::toNarrow(selectVolume(arguments.positional(1)[0]).guidPath) << "\n";
    return 0;
}

int optical(const std::vector<std::string>& args) {
    auto config = loadConfig();
    config.set("optical " + Arguments(args, {}).positional(1)[0], "media", "none");
    saveConfig(config);
    return 0;
}

std::string letterKey(const std::string& text) {
    if (text.empty() || text.size() > 2 || !std::isalpha(static_cast<unsigned char>(text[0])) ||
        (text.size() == 2 && text[1] != ':')) {
        throw UsageError("a drive letter is A to Z, not '" + text + "'");
    }
    return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(text[0]))));
}

int letter(const std::vector<std::string>& args) {
    Arguments arguments(args, {"remove"});
    auto config = loadConfig();
    if (arguments.flag("remove")) {
        config.remove("letters", letterKey(arguments.positional(1)[0]));
        saveConfig(config);
        return 0;
    }
    const auto& positional = arguments.positional(2);
    std::string key = letterKey(positional[0]);
    auto volume = selectVolume(positional[1]);
    config.set("letters", key, platform::toNarrow(volume.guidPath));
    saveConfig(config);
    fs::create_directories(currentHost().root() / "drives" / key);
    std::cout << key << ": -> " << platform::toNarrow(volume.guidPath) << "\n";
    return 0;
}

int fault(const std::vector<std::string>& args) {
    Arguments arguments(args, {"remove"});
    if (arguments.flag("remove")) {
        auto config = loadConfig();
        config.removeSection("fault " + arguments.positional(1)[0]);
        saveConfig(config);
        return 0;
    }
    auto config = loadConfig();
    std::string section;
    for (const auto& item : arguments.positional(args.size())) {
        if (section.empty()) {
            section = "fault " + item;
            config.removeSection(section);
            continue;
        }
        auto equals = item.find('=');
        if (equals == std::string::npos)
            throw UsageError("expected key=value, not '" + item + "'");
        config.add(section, item.substr(0, equals), item.substr(equals + 1));
    }
    if (section.empty())
        throw UsageError("fault needs a name");
    saveConfig(config);
    return 0;
}

}  // namespace
}  // namespace hostsim

std::vector<Command> hostCommands() {
    using namespace hostsim;
    return {
        {"init", "init                      create the host root, disks/, drives/ and host.conf",
         init},
        {"add-disk",
         "add-disk --size SIZE [--signature HEX] [--part 'SFDISK LINE']... [--layout FILE|-]\n"
         "         [--dynamic] [--number N] [--label dos|gpt] [--disk-guid GUID]\n"
         "                          new disk disks/N.img with an MBR built by sfdisk from the\n"
         "                          lines (e.g. --part 'size=64M,type=7' --part 'type=5'\n"
         "                          --part 'size=32M,type=7' for a primary, an extended and a\n"
         "                          logical partition); --dynamic: one 0x42 partition and a\n"
         "                          database area in the last 1M; --label gpt: a GPT (sfdisk "
         "lines\n"
         "                          such as 'size=32M,type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE')",
         addDisk},
        {"media", "media DISK fixed|removable|not-ready", media},
        {"span",
         "span NAME --extent DISK:OFFSET:LENGTH... [--guid GUID]\n"
         "                          a spanned volume over the extents, in order",
         span},
        {"optical", "optical NAME              an optical drive without a medium", optical},
        {"letter", "letter X VOLUME | letter X --remove", letter},
        {"fault",
         "fault NAME key=value... | fault NAME --remove\n"
         "                          declare a fault (keys below)",
         fault},
    };
}
