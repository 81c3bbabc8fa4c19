#include "backup-server/pointfiles/PointFiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "backup-server/pointfiles/NtfsLibrary.h"
#include "backup-server/store/OperatorValues.h"
#include "platform/ByteOrder.h"

namespace backup_server {
namespace {

struct InodeCloser {
    void operator()(ntfs_inode* inode) const { ntfs_inode_close(inode); }
};
struct AttributeCloser {
    void operator()(ntfs_attr* attribute) const { ntfs_attr_close(attribute); }
};
struct SearchCloser {
    void operator()(ntfs_attr_search_ctx* search) const { ntfs_attr_put_search_ctx(search); }
};
struct MallocFree {
    void operator()(void* memory) const { std::free(memory); }
};
using Inode = std::unique_ptr<ntfs_inode, InodeCloser>;
using Attribute = std::unique_ptr<ntfs_attr, AttributeCloser>;
using Search = std::unique_ptr<ntfs_attr_search_ctx, SearchCloser>;

constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
constexpr std::size_t kReadPiece = 1 << 20;

// UTF-16 as NTFS stores it, to UTF-8; nullopt when it does not convert.
std::optional<std::string> utf8(const ntfschar* name, int length) {
    char* out = nullptr;
    int bytes = ntfs_ucstombs(name, length, &out, 0);
    std::unique_ptr<char, MallocFree> owner(out);
    if (bytes < 0 || out == nullptr)
        return std::nullopt;
    return std::string(out, static_cast<std::size_t>(bytes));
}

// UTF-16LE bytes of a reparse buffer (any alignment) to UTF-8.
std::string utf8FromBytes(const unsigned char* bytes, std::size_t length) {
    std::vector<ntfschar> units(length / 2);
    std::memcpy(units.data(), bytes, units.size() * 2);
    return utf8(units.data(), static_cast<int>(units.size())).value_or("?");
}

// A symbolic link's or junction's target from its reparse data; other tags by number.
// The data is read from the volume and checked against its own length before use.
PointReparse parseReparse(const unsigned char* data, std::size_t size) {
    PointReparse reparse;
    if (size < 8) {
        reparse.kind = "reparse";
        return reparse;
    }
    reparse.tag = platform::loadLittleU32(data);
    std::size_t length = std::min<std::size_t>(platform::loadLittleU16(data + 4), size - 8);
    const unsigned char* body = data + 8;
    std::size_t pathStart = 0;
    if (reparse.tag == 0xA000000C && length >= 12) {
        reparse.kind = "symlink";
        pathStart = 12;
    } else if (reparse.tag == 0xA0000003 && length >= 8) {
        reparse.kind = "junction";
        pathStart = 8;
    } else {
        reparse.kind = "reparse";
        return reparse;
    }
    auto text = [&](std::size_t offset, std::size_t bytes) -> std::optional<std::string> {
        if (bytes == 0 || pathStart + offset + bytes > length)
            return std::nullopt;
        return utf8FromBytes(body + pathStart + offset, bytes);
    };
    std::optional<std::string> printed =
        text(platform::loadLittleU16(body + 4), platform::loadLittleU16(body + 6));
    std::optional<std::string> substitute =
        text(platform::loadLittleU16(body), platform::loadLittleU16(body + 2));
    reparse.target = printed.value_or(substitute.value_or(""));
    return reparse;
}

std::optional<PointReparse> readReparse(ntfs_inode* inode) {
    s64 size = 0;
    std::unique_ptr<void, MallocFree> data(
        ntfs_attr_readall(inode, AT_REPARSE_POINT, AT_UNNAMED, 0, &size));
    if (data == nullptr || size < 0)
        return PointReparse{0, "reparse", ""};
    return parseReparse(static_cast<const unsigned char*>(data.get()),
                        static_cast<std::size_t>(size));
}

// Sizes of the unnamed data stream and the named ones, from the attribute records.
void readStreams(ntfs_inode* inode, PointEntry& entry) {
    Search search(ntfs_attr_get_search_ctx(inode, nullptr));
    if (!search)
        return;
    while (ntfs_attr_lookup(AT_DATA, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, search.get()) ==
           0) {
        const ATTR_RECORD* record = search->attr;
        // A stream in several extents: only the first one holds the sizes.
        if (record->non_resident && sle64_to_cpu(record->lowest_vcn) != 0)
            continue;
        std::uint64_t size = record->non_resident
                                 ? static_cast<std::uint64_t>(sle64_to_cpu(record->data_size))
                                 : le32_to_cpu(record->value_length);
        if (record->name_length == 0) {
            entry.size = size;
            continue;
        }
        const auto* name = reinterpret_cast<const ntfschar*>(
            reinterpret_cast<const unsigned char*>(record) + le16_to_cpu(record->name_offset));
        std::vector<ntfschar> units(name, name + record->name_length);
        entry.streams.push_back(
            {utf8(units.data(), static_cast<int>(units.size())).value_or("?"), size});
    }
    std::sort(entry.streams.begin(), entry.streams.end(),
              [](const PointStream& a, const PointStream& b) { return a.name < b.name; });
}

PointEntry describe(ntfs_inode* inode, std::string name, std::string path) {
    PointEntry entry;
    entry.name = std::move(name);
    entry.path = std::move(path);
    entry.fileNumber = inode->mft_no;
    entry.directory = (inode->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
    entry.attributes = le32_to_cpu(inode->flags) & 0xFFFFu;
    if (entry.directory)
        entry.attributes |= kAttrDirectory;
    entry.links = le16_to_cpu(inode->mrec->link_count);
    entry.created = static_cast<std::uint64_t>(sle64_to_cpu(inode->creation_time));
    entry.modified = static_cast<std::uint64_t>(sle64_to_cpu(inode->last_data_change_time));
    entry.changed = static_cast<std::uint64_t>(sle64_to_cpu(inode->last_mft_change_time));
    entry.accessed = static_cast<std::uint64_t>(sle64_to_cpu(inode->last_access_time));
    readStreams(inode, entry);
    if (entry.directory)
        entry.size = 0;
    if (entry.attributes & kAttrReparse)
        entry.reparse = readReparse(inode);
    return entry;
}

struct Listed {
    std::string name;
    std::uint64_t reference;
};

struct Listing {
    std::vector<Listed> names;
    bool failed = false;
};

int collect(void* context, const ntfschar* name, const int length, const int type, const s64,
            const MFT_REF reference, const unsigned) {
    auto& listing = *static_cast<Listing*>(context);
    if (type == FILE_NAME_DOS || MREF(reference) < FILE_first_user)
        return 0;  // the short twin of a long name; the volume's own metadata files
    try {
        std::optional<std::string> text = utf8(name, length);
        if (!text) {
            listing.failed = true;
            return -1;
        }
        if (*text != "." && *text != "..")
            listing.names.push_back({std::move(*text), MREF(reference)});
    } catch (const std::exception&) {
        listing.failed = true;
        return -1;
    }
    return 0;
}

std::string childPath(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

}  // namespace

PointPath parsePointPath(const std::string& text) {
    PointPath parsed;
    std::string path = text;
    std::replace(path.begin(), path.end(), '\\', '/');
    // "C:/Users/..." as Windows shows it: the drive letter is the volume itself.
    if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
        path[2] == '/') {
        path.erase(0, 2);
    }
    std::size_t lastSlash = path.rfind('/');
    std::size_t colon = path.find(':', lastSlash == std::string::npos ? 0 : lastSlash);
    if (colon != std::string::npos) {
        parsed.stream = path.substr(colon + 1);
        path.resize(colon);
        if (parsed.stream.empty() || parsed.stream.find(':') != std::string::npos)
            throw PointFileError(text + ": not a stream name");
    }
    std::string clean;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t next = std::min(path.find('/', at), path.size());
        std::string part = path.substr(at, next - at);
        at = next + 1;
        if (part.empty())
            continue;
        if (part == "." || part == "..")
            throw PointFileError(text + ": \".\" and \"..\" are not allowed in a path");
        clean += "/" + part;
    }
    parsed.path = clean.empty() ? "/" : clean;
    if (parsed.path == "/" && !parsed.stream.empty())
        throw PointFileError(text + ": the root folder has no streams");
    return parsed;
}

void PointFiles::fail(const std::string& path, const std::string& reason, int error) {
    std::string problem = volume_.takeProblem();
    std::string detail = !problem.empty() ? problem : error != 0 ? std::strerror(error) : "";
    throw PointFileError(path + ": " + reason + (detail.empty() ? "" : " (" + detail + ")"),
                         error != 0 ? error : EIO);
}

PointEntry PointFiles::entry(const std::string& path) {
    volume_.takeProblem();
    errno = 0;
    Inode inode(ntfs_pathname_to_inode(volume_.volume(), nullptr, path.c_str()));
    if (!inode) {
        int error = errno;
        if (error == ENOENT && volume_.takeProblem().empty())
            throw PointFileError(
                path + ": not found in point " + std::to_string(volume_.point().id), ENOENT);
        fail(path, "cannot be read", error);
    }
    std::string name = path.substr(path.rfind('/') + 1);
    return describe(inode.get(), name, path);
}

std::vector<PointEntry> PointFiles::list(const PointEntry& folder) {
    if (!folder.directory)
        throw PointFileError(folder.path + ": not a folder", ENOTDIR);
    if (folder.isLink())
        throw PointFileError(folder.path + ": a " + folder.reparse->kind + " to " +
                             folder.reparse->target + " (not followed)");
    volume_.takeProblem();
    Inode inode(ntfs_inode_open(volume_.volume(), folder.fileNumber));
    if (!inode)
        fail(folder.path, "cannot be read", errno);
    Listing listing;
    s64 position = 0;
    if (ntfs_readdir(inode.get(), &position, &listing, collect) != 0 || listing.failed)
        fail(folder.path, "cannot be listed", errno);
    inode.reset();
    std::sort(listing.names.begin(), listing.names.end(),
              [](const Listed& a, const Listed& b) { return a.name < b.name; });
    std::vector<PointEntry> entries;
    for (const Listed& listed : listing.names) {
        std::string path = childPath(folder.path, listed.name);
        volume_.takeProblem();
        Inode child(ntfs_inode_open(volume_.volume(), listed.reference));
        if (!child) {
            PointEntry broken;
            broken.name = listed.name;
            broken.path = path;
            broken.fileNumber = listed.reference;
            std::string problem = volume_.takeProblem();
            broken.problem =
                "cannot be read (" + (problem.empty() ? "damaged file record" : problem) + ")";
            entries.push_back(std::move(broken));
            continue;
        }
        entries.push_back(describe(child.get(), listed.name, path));
    }
    return entries;
}

struct PointFile::Handles {
    Inode inode;
    Attribute attribute;  // null: no unnamed stream (empty)
};

PointFile::PointFile(PointFiles& files, std::string shown, std::unique_ptr<Handles> handles,
                     std::uint64_t size)
    : files_(files), shown_(std::move(shown)), handles_(std::move(handles)), size_(size) {}

PointFile::~PointFile() = default;

std::size_t PointFile::read(std::uint64_t offset, std::size_t length, char* buffer) {
    if (offset >= size_ || !handles_->attribute)
        return 0;
    auto want = static_cast<s64>(std::min<std::uint64_t>(length, size_ - offset));
    files_.volume_.takeProblem();
    errno = 0;
    s64 got = ntfs_attr_pread(handles_->attribute.get(), static_cast<s64>(offset), want, buffer);
    if (got < 0)
        files_.fail(shown_, "cannot be read", errno);
    if (got == 0)
        files_.fail(shown_, "ends before its recorded size", EIO);
    return static_cast<std::size_t>(got);
}

std::unique_ptr<PointFile> PointFiles::open(const PointEntry& file, const std::string& stream) {
    std::string shown = file.path + (stream.empty() ? "" : ":" + stream);
    if (!file.problem.empty())
        throw PointFileError(file.path + ": " + file.problem);
    if (file.isLink())
        throw PointFileError(shown + ": a " + file.reparse->kind + " to " + file.reparse->target +
                                 " (links are listed, never followed)",
                             ELOOP);
    if (file.directory && stream.empty())
        throw PointFileError(shown + ": a folder, not a file", EISDIR);
    if (file.encrypted())
        throw PointFileError(shown +
                                 ": encrypted (EFS); its contents can only be read on "
                                 "Windows with the owner's key, so it is not taken out",
                             EACCES);
    volume_.takeProblem();
    auto handles = std::make_unique<PointFile::Handles>();
    handles->inode.reset(ntfs_inode_open(volume_.volume(), file.fileNumber));
    if (!handles->inode)
        fail(shown, "cannot be read", errno);
    ntfschar* name = AT_UNNAMED;
    int nameLength = 0;
    std::unique_ptr<ntfschar, MallocFree> ownedName;
    if (!stream.empty()) {
        ntfschar* converted = nullptr;
        nameLength = ntfs_mbstoucs(stream.c_str(), &converted);
        ownedName.reset(converted);
        if (nameLength <= 0)
            throw PointFileError(shown + ": not a stream name", EINVAL);
        name = converted;
    }
    errno = 0;
    handles->attribute.reset(
        ntfs_attr_open(handles->inode.get(), AT_DATA, name, static_cast<u32>(nameLength)));
    if (!handles->attribute) {
        if (errno == ENOENT && stream.empty())  // no unnamed stream (a reparse point's file)
            return std::unique_ptr<PointFile>(new PointFile(*this, shown, std::move(handles), 0));
        if (errno == ENOENT)
            throw PointFileError(shown + ": no such stream", ENOENT);
        fail(shown, "cannot be read", errno);
    }
    if (handles->attribute->data_flags & ATTR_IS_ENCRYPTED)
        throw PointFileError(shown + ": encrypted (EFS); not taken out", EACCES);
    auto size = static_cast<std::uint64_t>(handles->attribute->data_size);
    return std::unique_ptr<PointFile>(new PointFile(*this, shown, std::move(handles), size));
}

void PointFiles::read(const PointEntry& file, const std::string& stream,
                      const std::function<void(const char*, std::size_t)>& sink) {
    std::unique_ptr<PointFile> opened = open(file, stream);
    std::vector<char> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(opened->size(), kReadPiece)));
    for (std::uint64_t at = 0; at < opened->size();) {
        std::size_t got = opened->read(at, buffer.size(), buffer.data());
        sink(buffer.data(), got);
        at += got;
    }
}

std::string fileTimeText(std::uint64_t fileTime) {
    if (fileTime < kUnixEpochAsFileTime)
        return "1970-01-01 00:00:00";
    return utcTime(static_cast<std::int64_t>((fileTime - kUnixEpochAsFileTime) / 10000000));
}

std::string attributeLetters(std::uint32_t attributes) {
    static const std::pair<std::uint32_t, char> letters[] = {
        {kAttrDirectory, 'd'}, {kAttrReadOnly, 'r'}, {kAttrHidden, 'h'},
        {kAttrSystem, 's'},    {kAttrArchive, 'a'},  {kAttrCompressed, 'c'},
        {kAttrEncrypted, 'e'}, {kAttrSparse, 'p'},   {kAttrReparse, 'l'},
    };
    std::string text;
    for (const auto& [bit, letter] : letters)
        text += (attributes & bit) ? letter : '-';
    return text;
}

}  // namespace backup_server
