// Run lists, update sequences and paths, on hand-made bytes for the cases a healthy image
// never shows.
#include <gtest/gtest.h>

#include <vector>

#include "platform/emulated/ntfs/DataRuns.h"
#include "platform/emulated/ntfs/Fixups.h"
#include "platform/emulated/ntfs/NtfsError.h"
#include "platform/emulated/ntfs/VolumePath.h"

namespace platform::emulated::ntfs {
namespace {

std::vector<Extent> decode(std::vector<std::uint8_t> pairs, std::uint64_t lastVcn,
                           std::uint64_t totalClusters = 1000) {
    std::vector<Extent> runs;
    decodeDataRuns(pairs, 0, lastVcn, totalClusters, 16, runs);
    return runs;
}

std::uint32_t errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const NtfsError& error) {
        return error.code();
    }
    return kErrorSuccess;
}

TEST(DataRunsTest, DecodesDeltasSparseRunsAndWideFields) {
    std::vector<Extent> runs = decode({0x21, 0x10, 0x00, 0x01,  // 16 clusters at 256
                                       0x01, 0x08,              // 8 sparse clusters
                                       0x11, 0x04, 0xF0,        // 4 clusters 16 back: 240
                                       0x00},
                                      27);
    EXPECT_EQ(runs, (std::vector<Extent>{{0, 256, 16}, {16, kSparseLcn, 8}, {24, 240, 4}}));

    // Eight-byte fields.
    std::vector<std::uint8_t> wide = {0x88, 2, 0, 0, 0, 0, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(decode(wide, 1), (std::vector<Extent>{{0, 100, 2}}));
    // An empty attribute: no clusters, stored with last VCN = -1.
    EXPECT_TRUE(decode({0x00}, ~std::uint64_t{0}).empty());
}

TEST(DataRunsTest, RefusesListsThatDoNotDescribeTheSegment) {
    auto code = [](std::vector<std::uint8_t> pairs, std::uint64_t lastVcn) {
        return errorOf([&] { decode(pairs, lastVcn); });
    };
    EXPECT_EQ(code({0x11, 0x04, 0x10}, 3), kErrorFileCorrupt);              // no end marker
    EXPECT_EQ(code({0x11, 0x04, 0x10, 0x11, 0x04}, 7), kErrorFileCorrupt);  // field past the end
    EXPECT_EQ(code({0x11, 0x08, 0x10, 0x00}, 3), kErrorFileCorrupt);        // past the last VCN
    EXPECT_EQ(code({0x11, 0x02, 0x10, 0x00}, 3), kErrorFileCorrupt);        // ends early
    EXPECT_EQ(code({0x10, 0x10, 0x00}, 0), kErrorFileCorrupt);              // no length field
    EXPECT_EQ(code({0x11, 0x00, 0x10, 0x00}, 0), kErrorFileCorrupt);        // zero length
    EXPECT_EQ(code({0x11, 0x04, 0xF0, 0x00}, 3), kErrorFileCorrupt);        // negative LCN
    EXPECT_EQ(code({0x21, 0x04, 0xE6, 0x03, 0x00}, 3), kErrorFileCorrupt);  // 998 + 4 > 1000
    EXPECT_EQ(code({0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}, 0), kErrorFileCorrupt);

    // A list that would never stop growing is cut at the cap.
    std::vector<std::uint8_t> many;
    for (int i = 0; i < 17; ++i) {
        many.insert(many.end(), {0x11, 0x01, 0x01});
    }
    many.push_back(0);
    EXPECT_EQ(code(many, 16), kErrorFileCorrupt);
}

std::vector<std::uint8_t> protectedRecord() {
    std::vector<std::uint8_t> record(1024, 0xAB);
    std::copy_n("FILE", 4, record.begin());
    record[4] = 0x30;  // update sequence array at 0x30
    record[5] = 0;
    record[6] = 3;  // sequence number and one entry per 512 bytes
    record[7] = 0;
    record[0x30] = 0x34;
    record[0x31] = 0x12;
    for (std::size_t sector = 0; sector < 2; ++sector) {
        record[0x32 + 2 * sector] = static_cast<std::uint8_t>(sector + 1);
        record[0x33 + 2 * sector] = 0;
        record[510 + 512 * sector] = 0x34;
        record[511 + 512 * sector] = 0x12;
    }
    return record;
}

TEST(FixupsTest, RestoresSectorEndsAndRejectsTornRecords) {
    std::vector<std::uint8_t> record = protectedRecord();
    applyFixups(record, "FILE", "record");
    EXPECT_EQ(record[510], 1);
    EXPECT_EQ(record[1022], 2);

    std::vector<std::uint8_t> torn = protectedRecord();
    torn[1022] = 0x35;
    EXPECT_EQ(errorOf([&] { applyFixups(torn, "FILE", "record"); }), kErrorFileCorrupt);
    EXPECT_EQ(torn[510], 0x34) << "a failed check must not change the record";

    std::vector<std::uint8_t> wrongCount = protectedRecord();
    wrongCount[6] = 9;
    EXPECT_EQ(errorOf([&] { applyFixups(wrongCount, "FILE", "record"); }), kErrorFileCorrupt);
    std::vector<std::uint8_t> arrayPastSector = protectedRecord();
    arrayPastSector[4] = 0xFE;
    arrayPastSector[5] = 0x01;
    EXPECT_EQ(errorOf([&] { applyFixups(arrayPastSector, "FILE", "record"); }), kErrorFileCorrupt);
    EXPECT_EQ(errorOf([&] { applyFixups(record, "INDX", "record"); }), kErrorFileCorrupt);
}

TEST(VolumePathTest, SplitsIntoUtf16Names) {
    EXPECT_TRUE(splitVolumePath(L"\\").empty());
    EXPECT_EQ(splitVolumePath(L"\\dir\\file.bin\\"),
              (std::vector<std::u16string>{u"dir", u"file.bin"}));
    EXPECT_EQ(splitVolumePath(L"\\\U0001F600"), (std::vector<std::u16string>{u"\U0001F600"}));
    for (const std::wstring& bad :
         {std::wstring(L"dir"), std::wstring(L""), std::wstring(L"\\a\\\\b"),
          std::wstring(L"\\a\\\\"), L"\\" + std::wstring(256, L'x')}) {
        EXPECT_EQ(errorOf([&] { splitVolumePath(bad); }), kErrorInvalidName);
    }
    EXPECT_EQ(splitVolumePath(L"\\" + std::wstring(255, L'x')).size(), 1u);
}

}  // namespace
}  // namespace platform::emulated::ntfs
