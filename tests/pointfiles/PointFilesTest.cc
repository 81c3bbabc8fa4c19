// Listing and taking files out of a restore point of a real NTFS volume (every kind of
// file ntfs-3g can write), compared byte for byte with ntfscat of the same image.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <map>
#include <random>
#include <set>
#include <sstream>

#include "PointVolumeFixture.h"
#include "backup-server/commands/Command.h"
#include "backup-server/commands/PointSelection.h"
#include "backup-server/pointfiles/PointExtract.h"
#include "backup-server/store/StoreError.h"
#include "backup-server/store/StoreKeyring.h"
#include "runtime/Exceptions.h"

namespace pointtest {
namespace {

constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

std::map<std::string, PointEntry> byName(const std::vector<PointEntry>& entries) {
    std::map<std::string, PointEntry> named;
    for (const PointEntry& entry : entries)
        named[entry.name] = entry;
    return named;
}

// Every file and stream the point lists is compared with ntfscat; returns how many.
int expectExtractedMatch(PointFiles& files, const fs::path& image, const fs::path& out,
                         const std::set<std::string>& unreadable) {
    std::vector<PointEntry> all;
    walk(files, files.entry("/"), all);
    int compared = 0;
    for (const PointEntry& entry : all) {
        fs::path local = out / entry.path.substr(1);
        if (entry.directory || entry.isLink() || entry.encrypted() ||
            unreadable.count(entry.path) != 0) {
            continue;
        }
        EXPECT_TRUE(readFile(local) == ntfscat(image, entry.path)) << entry.path;
        ++compared;
        for (const PointStream& stream : entry.streams) {
            fs::path streamFile =
                local.parent_path() / (local.filename().string() + ":" + stream.name);
            EXPECT_TRUE(readFile(streamFile) == ntfscat(image, entry.path, stream.name))
                << entry.path << ":" << stream.name;
        }
    }
    return compared;
}

std::vector<std::string> failuresNaming(const ExtractReport& report) {
    std::vector<std::string> paths;
    for (const std::string& failure : report.failures)
        paths.push_back(failure.substr(0, failure.find(": ")));
    return paths;
}

class PointFilesTest : public PointVolumeTest {
  protected:
    PointFilesTest() = default;
    std::unique_ptr<Store> openStore(const fs::path& folder) {
        return std::make_unique<Store>(folder, Store::Access::read, "test");
    }
};

TEST_F(PointFilesTest, ListsEveryKindOfFileWithItsDetails) {
    auto store = openStore(this->store());
    PointVolume volume(*store, point_);
    PointFiles files(volume);
    auto root = byName(files.list(files.entry("/")));
    std::set<std::string> names;
    for (const auto& [name, entry] : root)
        names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{"Grüße", "ads.txt", "big.bin", "comp", "deep", "docs",
                                            "enc.txt", "hidden.txt", "junc", "long", "many",
                                            "readonly.txt", "rellink", "small.txt", "sparse.bin",
                                            "winlink"}));
    EXPECT_EQ(root["small.txt"].size, 96u);
    EXPECT_EQ(root["small.txt"].modified, kUnixEpochAsFileTime + 1577934245ull * 10000000);
    EXPECT_EQ(fileTimeText(root["small.txt"].modified), "2020-01-02 03:04:05");
    EXPECT_EQ(root["big.bin"].size, 3u << 20);
    EXPECT_TRUE(root["sparse.bin"].attributes & kAttrSparse);
    EXPECT_EQ(root["sparse.bin"].size, 8u << 20);
    EXPECT_TRUE(root["readonly.txt"].attributes & kAttrReadOnly);
    EXPECT_TRUE(root["hidden.txt"].attributes & kAttrHidden);
    EXPECT_TRUE(root["enc.txt"].encrypted());
    EXPECT_TRUE(root["comp"].directory);
    EXPECT_EQ(root["ads.txt"].links, 2);
    ASSERT_EQ(root["ads.txt"].streams.size(), 2u);
    EXPECT_EQ(root["ads.txt"].streams[0].name, "Zone.Identifier");
    EXPECT_EQ(root["ads.txt"].streams[1].name, "secret");
    EXPECT_EQ(root["ads.txt"].streams[1].size, 16u);

    ASSERT_TRUE(root["winlink"].isLink());
    EXPECT_EQ(root["winlink"].reparse->kind, "symlink");
    EXPECT_EQ(root["winlink"].reparse->target, "C:\\Windows\\System32\\drivers\\etc\\hosts");
    EXPECT_EQ(root["rellink"].reparse->target, "..\\..\\outside");
    ASSERT_TRUE(root["junc"].isLink());
    EXPECT_EQ(root["junc"].reparse->kind, "junction");
    EXPECT_EQ(root["junc"].reparse->target, "C:\\Users");
    EXPECT_THROW(files.list(root["junc"]), PointFileError);  // never followed

    auto comp = byName(files.list(root["comp"]));
    EXPECT_TRUE(comp["text.txt"].attributes & kAttrCompressed);
    EXPECT_EQ(files.list(root["many"]).size(), 150u);
    EXPECT_EQ(files.entry(parsePointPath("\\Grüße\\日本語 ファイル.txt").path).size,
              std::string("こんにちは\n").size());
    std::string deep = "/deep";
    for (int i = 0; i < 40; ++i)
        deep += "/d" + std::to_string(i);
    EXPECT_EQ(files.entry(deep + "/leaf.txt").size, 10u);
    EXPECT_THROW(files.entry("/no such file"), PointFileError);
    EXPECT_THROW(parsePointPath("/docs/../big.bin"), PointFileError);
    EXPECT_EQ(parsePointPath("ads.txt:secret").stream, "secret");
    EXPECT_EQ(parsePointPath("\\docs\\\\report.doc").path, "/docs/report.doc");
    EXPECT_EQ(parsePointPath("C:\\docs\\report.doc").path, "/docs/report.doc");
}

TEST_F(PointFilesTest, ExtractedTreeMatchesNtfscatWithTimesLinksAndAttributes) {
    auto store = openStore(this->store());
    PointVolume volume(*store, point_);
    PointFiles files(volume);
    test::TempDir out;
    std::ostringstream log;
    PointExtractor extractor(files, log);
    extractor.extract(files.entry("/"), out.path());
    const ExtractReport& report = extractor.report();
    // The encrypted file is refused by name; the links are skipped, not created.
    EXPECT_EQ(failuresNaming(report), std::vector<std::string>{"/enc.txt"});
    EXPECT_NE(report.failures[0].find("encrypted (EFS)"), std::string::npos);
    EXPECT_EQ(report.skipped, 3u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(out.path() / "junc")));
    EXPECT_FALSE(fs::exists(out.path() / "enc.txt"));
    EXPECT_GT(expectExtractedMatch(files, image(), out.path(), {}), 160);

    struct stat small {
    }, link{}, original{}, readonly{};
    ASSERT_EQ(::stat((out.path() / "small.txt").c_str(), &small), 0);
    EXPECT_EQ(small.st_mtim.tv_sec, 1577934245);
    ASSERT_EQ(::stat((out.path() / "ads.txt").c_str(), &original), 0);
    ASSERT_EQ(::stat((out.path() / "docs/hard link.txt").c_str(), &link), 0);
    EXPECT_EQ(original.st_ino, link.st_ino);
    ASSERT_EQ(::stat((out.path() / "readonly.txt").c_str(), &readonly), 0);
    EXPECT_EQ(readonly.st_mode & 0222, 0u);
    char attributes[16] = {};
    if (::getxattr((out.path() / "hidden.txt").c_str(), "user.ntfs.attributes", attributes,
                   sizeof attributes - 1) > 0) {
        EXPECT_EQ(std::stoul(attributes, nullptr, 16) & kAttrHidden, kAttrHidden);
    }
    // Sparse and compressed files are whole, holes as zeros.
    std::string sparse = readFile(out.path() / "sparse.bin");
    EXPECT_EQ(sparse.size(), 8u << 20);
    EXPECT_EQ(sparse.substr(0, 4096), std::string(4096, '\0'));
    EXPECT_GT(readFile(out.path() / "comp/text.txt").size(), 1000000u);
}

TEST_F(PointFilesTest, ListingAndReadingTouchOnlyTheChunksNeeded) {
    auto store = openStore(this->store());
    PointVolume volume(*store, point_);
    PointFiles files(volume);
    files.list(files.entry("/"));
    PointReadCounters listed = volume.counters();
    std::uint64_t chunks = point_.geometry.chunkCount();
    EXPECT_LT(listed.chunksRead, chunks / 4) << "of " << chunks;
    std::string small;
    files.read(files.entry("/small.txt"), "",
               [&](const char* data, std::size_t n) { small.append(data, n); });
    EXPECT_EQ(small, ntfscat(image(), "/small.txt"));
    std::uint64_t bytes = 0;
    files.read(files.entry("/big.bin"), "", [&](const char*, std::size_t n) { bytes += n; });
    EXPECT_EQ(bytes, 3u << 20);
    // The chunks under 3 MiB of data (one more where it straddles) and a few of metadata,
    // not the volume.
    const std::uint64_t span =
        std::uint64_t{point_.geometry.chunkBlocks} * point_.geometry.blockSize;
    EXPECT_LT(volume.counters().chunksRead, listed.chunksRead + (3u << 20) / span + 1 + 4);
}

// The commands as the tool runs them, their output captured.
int runCommand(int (*command)(CommandContext&), std::vector<std::string> words, std::string& out,
               bool json = false, bool longListing = false, bool recursive = false) {
    CommandContext context;
    std::ostringstream stream;
    context.out = &stream;
    context.arguments = std::move(words);
    context.json = json;
    context.longListing = longListing;
    context.recursive = recursive;
    int status = command(context);
    out = stream.str();
    return status;
}

// The single-file readers go through the store's cipher: a point of an encrypted store
// lists and reads as the image does, and does not open without its passphrase.
TEST_F(PointFilesTest, FilesComeOutOfAnEncryptedStore) {
    test::TempDir sealed;
    KeySource keys;
    keys.passwordFile = sealed.path() / "password";
    std::ofstream(*keys.passwordFile) << "point files\n";
    fs::path folder = sealed.path() / "store";
    createStore(folder, KeyringOptions{true, keys, ScryptCost{10, 8, 1}});
    addImagePoint(folder, image(), keys);
    PointSelection selection = parsePointSelection({folder.string(), kDevice}, {});
    EXPECT_THROW(OpenPoint(selection, "cat", KeySource{}), StoreError);
    OpenPoint point(selection, "cat", keys);
    std::string text;
    point.files().read(point.files().entry("/comp/text.txt"), "",
                       [&](const char* data, std::size_t length) { text.append(data, length); });
    EXPECT_TRUE(text == ntfscat(image(), "/comp/text.txt"));
    EXPECT_EQ(byName(point.files().list(point.files().entry("/"))).count("comp"), 1u);
}

TEST_F(PointFilesTest, CommandsListCatAndRefuseWhatTheyCannotDo) {
    std::string store = this->store().string();
    std::string out;
    EXPECT_EQ(runCommand(lsCommand, {store, kDevice}, out), kExitOk);
    EXPECT_NE(out.find("comp/\n"), std::string::npos) << out;
    EXPECT_EQ(runCommand(lsCommand, {store, kDevice, "point=" + std::to_string(point_.id), "/"},
                         out, false, true),
              kExitOk);
    EXPECT_NE(out.find("winlink -> C:\\Windows\\System32\\drivers\\etc\\hosts"), std::string::npos);
    EXPECT_NE(out.find("2020-01-02 03:04:05  small.txt"), std::string::npos) << out;
    EXPECT_NE(out.find("ads.txt:secret"), std::string::npos);
    EXPECT_EQ(runCommand(lsCommand, {store, kDevice, "/docs"}, out, true), kExitOk);
    EXPECT_NE(out.find("\"name\":\"hard link.txt\""), std::string::npos) << out;
    EXPECT_EQ(out.front(), '[');
    EXPECT_EQ(runCommand(lsCommand, {store, kDevice, "deep"}, out, false, false, true), kExitOk);
    EXPECT_NE(out.find("/d39/leaf.txt\n"), std::string::npos);

    EXPECT_EQ(runCommand(catCommand, {store, kDevice, "comp/text.txt"}, out), kExitOk);
    EXPECT_TRUE(out == ntfscat(image(), "/comp/text.txt"));
    EXPECT_EQ(runCommand(catCommand, {store, kDevice, "ads.txt:Zone.Identifier"}, out), kExitOk);
    EXPECT_TRUE(out == ntfscat(image(), "/ads.txt", "Zone.Identifier"));
    EXPECT_EQ(runCommand(catCommand, {store, kDevice, "/enc.txt"}, out), kExitFailed);
    EXPECT_EQ(runCommand(catCommand, {store, kDevice, "/winlink"}, out), kExitFailed);
    EXPECT_EQ(runCommand(catCommand, {store, kDevice, "/ads.txt:nothing"}, out), kExitFailed);

    EXPECT_EQ(runCommand(lsCommand, {store, kDevice, std::string("agent=") + kAgent}, out),
              kExitOk);
    EXPECT_THROW(runCommand(lsCommand, {store, kDevice, "agent=office"}, out),
                 runtime::AgentException);
    EXPECT_THROW(runCommand(lsCommand, {store, kDevice, "point=0"}, out), UsageError);
    EXPECT_THROW(runCommand(lsCommand, {store, "Disk 9 Partition 9", "point=1"}, out), UsageError);
    EXPECT_THROW(runCommand(catCommand, {store, kDevice}, out), UsageError);
    EXPECT_THROW(runCommand(lsCommand, {store, kDevice, "point=99"}, out), runtime::AgentException);
    EXPECT_TRUE(startsWithStore({store, kDevice}));
    EXPECT_FALSE(startsWithStore({"target=C:\\x", store}));
}

TEST_F(PointFilesTest, AFileChangedBetweenPointsComesOutOfEachAsItWas) {
    fs::path storeCopy = copyStore("two-points");
    fs::path changed = dir_->path() / "changed.img";
    fs::copy_file(image(), changed);
    std::string before = ntfscat(changed, "/docs/report.doc");
    fs::path replacement = dir_->path() / "report.doc";
    std::ofstream(replacement, std::ios::binary) << "the report, rewritten after the first point";
    test::runCommand("ntfscp -f '" + changed.string() + "' '" + replacement.string() +
                     "' /docs/report.doc");
    PointRecord second = addImagePoint(storeCopy, changed);
    ASSERT_NE(second.id, point_.id);

    for (auto [id, expected] :
         {std::pair{point_.id, before}, std::pair{second.id, readFile(replacement)}}) {
        test::TempDir out;
        std::string log;
        EXPECT_EQ(runCommand(extractCommand,
                             {storeCopy.string(), kDevice, "point=" + std::to_string(id),
                              "/docs/report.doc", out.path().string()},
                             log),
                  kExitOk)
            << log;
        EXPECT_TRUE(readFile(out.path() / "report.doc") == expected) << "point " << id;
    }
}

// The chunk holding the volume's bytes at offset.
fs::path chunkAt(const fs::path& storeFolder, const PointRecord& point, std::uint64_t offset) {
    Store store(storeFolder, Store::Access::look);
    PointIndexReader index(store.indexPath(point.indexFile));
    std::uint64_t chunk = offset / kBlock / point.geometry.chunkBlocks;
    return ChunkStore(store.chunkFolder()).pathOf(index.entry(chunk));
}

void damage(const fs::path& chunk, std::uint64_t at) {
    fs::permissions(chunk, fs::perms::owner_write, fs::perm_options::add);
    std::fstream file(chunk, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(static_cast<std::streamoff>(at));
    char byte = 0;
    file.get(byte);
    file.seekp(static_cast<std::streamoff>(at));
    file.put(static_cast<char>(byte ^ 0x5a));
}

TEST_F(PointFilesTest, ADamagedChunkFailsTheFileOnItByNameAndTheOthersExtract) {
    fs::path storeCopy = copyStore("damaged");
    // big.bin's bytes lie somewhere in the image; its middle megabyte is a chunk of its own.
    std::string big = ntfscat(image(), "/big.bin");
    std::string imageBytes = readFile(image());
    std::size_t start = imageBytes.find(big.substr(0, kBlock));
    ASSERT_NE(start, std::string::npos);
    fs::path chunk = chunkAt(storeCopy, point_, start + (3u << 19));
    damage(chunk, fs::file_size(chunk) / 2);

    Store store(storeCopy, Store::Access::read, "test");
    PointVolume volume(store, point_);
    PointFiles files(volume);
    test::TempDir out;
    std::ostringstream log;
    PointExtractor extractor(files, log);
    extractor.extract(files.entry("/"), out.path());
    EXPECT_EQ(failuresNaming(extractor.report()),
              (std::vector<std::string>{"/big.bin", "/enc.txt"}))
        << log.str();
    EXPECT_NE(extractor.report().failures[0].find(chunk.filename().string().substr(0, 16)),
              std::string::npos)
        << "names the damaged chunk: " << extractor.report().failures[0];
    EXPECT_FALSE(fs::exists(out.path() / "big.bin"));
    expectExtractedMatch(files, image(), out.path(), {"/big.bin"});
}

// Damage in random chunks, anywhere (metadata included): whatever comes out is right, the
// rest fails by name or the volume is refused; nothing crashes (the sanitizer build runs
// this too).
TEST_F(PointFilesTest, RandomChunkDamageNeverGivesWrongBytes) {
    std::uint64_t chunks = point_.geometry.chunkCount();
    int compared = 0, failed = 0;
    for (unsigned seed = 1; seed <= 8; ++seed) {
        fs::path storeCopy = copyStore("random" + std::to_string(seed));
        std::mt19937_64 random(seed);
        std::set<fs::path> damaged;
        for (int i = 0; i < 6; ++i) {
            fs::path chunk = chunkAt(storeCopy, point_,
                                     random() % chunks * kBlock * point_.geometry.chunkBlocks);
            if (!damaged.insert(chunk).second)
                continue;
            if (random() % 4 == 0)
                fs::remove(chunk);  // a missing chunk
            else
                damage(chunk, random() % fs::file_size(chunk));
        }
        Store store(storeCopy, Store::Access::read, "test");
        std::unique_ptr<PointVolume> volume;
        try {
            volume = std::make_unique<PointVolume>(store, point_);
        } catch (const runtime::AgentException& error) {
            EXPECT_NE(std::string(error.what()).find("Cannot read NTFS"), std::string::npos);
            continue;
        }
        PointFiles files(*volume);
        test::TempDir out;
        std::ostringstream log;
        PointExtractor extractor(files, log, true);
        try {
            extractor.extract(files.entry("/"), out.path());
        } catch (const PointFileError&) {
            continue;  // the root itself is unreadable
        }
        // Every file that came out matches; the ones that failed are absent.
        for (const auto& item : extractor.report().items) {
            if (!item.entry.directory) {
                EXPECT_TRUE(readFile(item.local) == ntfscat(image(), item.entry.path))
                    << item.entry.path << " (seed " << seed << ")";
                ++compared;
            }
        }
        failed += static_cast<int>(extractor.report().failures.size()) - 1;  // enc.txt
        for (const std::string& path : failuresNaming(extractor.report()))
            EXPECT_FALSE(fs::is_regular_file(out.path() / path.substr(1))) << path << " was kept";
    }
    // The damage hit files, and the rest came out.
    EXPECT_GT(failed, 0);
    EXPECT_GT(compared, 200);
}

}  // namespace
}  // namespace pointtest
