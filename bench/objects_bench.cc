// bench-libs: objects
// Raw put and get throughput of the blob stores: a local folder (in ZENTRAD_BENCH_FOLDER,
// default the system's temporary folder) and, when ZENTRAD_TEST_S3 names a bucket (with the
// AWS_* variables of scripts/ceph.sh's s3.env), that S3 bucket. Objects of 1 MiB, random
// bytes (a chunk compresses before it is stored), put through ParallelPuts with 1 and 4
// at once; gets one after another. bench/objects.sh starts a local Ceph and runs this.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "backup-server/objects/FolderBlobStore.h"
#include "backup-server/objects/ParallelPuts.h"
#include "backup-server/objects/S3BlobStore.h"

namespace {

using namespace backup_server::objects;

constexpr std::size_t kObjectBytes = 1 << 20;
constexpr int kObjectsPerRound = 16;

std::string randomObject(unsigned seed) {
    std::mt19937_64 random(seed);
    std::string bytes(kObjectBytes, '\0');
    for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word = random();
        std::memcpy(bytes.data() + i, &word, 8);
    }
    return bytes;
}

std::string roundKey(std::uint64_t round, int i) {
    return "bench/" + std::to_string(round) + "/" + std::to_string(i);
}

void removeAll(BlobStore& store) {
    std::vector<std::string> keys;
    store.list("bench/", [&](const BlobInfo& object) { keys.push_back(object.key); });
    for (const std::string& key : keys)
        store.remove(key);
}

void put(benchmark::State& state, BlobStore* store) {
    std::string bytes = randomObject(1);
    std::uint64_t round = 0;
    for (auto _ : state) {
        ParallelPuts puts(*store, static_cast<unsigned>(state.range(0)));
        for (int i = 0; i < kObjectsPerRound; ++i)
            puts.put(roundKey(round, i), bytes);
        puts.finish();
        store->sync();
        ++round;
    }
    state.SetBytesProcessed(state.iterations() * kObjectsPerRound * std::int64_t{kObjectBytes});
    removeAll(*store);
}

void get(benchmark::State& state, BlobStore* store) {
    std::string bytes = randomObject(2);
    {
        ParallelPuts puts(*store, 4);
        for (int i = 0; i < kObjectsPerRound; ++i)
            puts.put(roundKey(0, i), bytes);
        puts.finish();
    }
    for (auto _ : state) {
        for (int i = 0; i < kObjectsPerRound; ++i)
            benchmark::DoNotOptimize(store->get(roundKey(0, i)).size());
    }
    state.SetBytesProcessed(state.iterations() * kObjectsPerRound * std::int64_t{kObjectBytes});
    removeAll(*store);
}

}  // namespace

int main(int argc, char** argv) {
    const char* folderRoot = std::getenv("ZENTRAD_BENCH_FOLDER");
    std::filesystem::path folder =
        std::filesystem::path(folderRoot ? folderRoot
                                         : std::filesystem::temp_directory_path().string()) /
        ("zentrad-objects-bench-" + std::to_string(std::random_device{}()));
    std::vector<std::pair<std::string, std::unique_ptr<BlobStore>>> stores;
    stores.emplace_back("folder", std::make_unique<FolderBlobStore>(folder));
    if (const char* bucket = std::getenv("ZENTRAD_TEST_S3"); bucket && *bucket) {
        std::string name = std::string(bucket) + "/bench-" + std::to_string(std::random_device{}());
        stores.emplace_back("s3", std::make_unique<S3BlobStore>(S3Settings::fromEnvironment(name)));
    }
    for (auto& [name, store] : stores) {
        benchmark::RegisterBenchmark(("put/" + name).c_str(), put, store.get())
            ->Arg(1)
            ->Arg(4)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(2.0);
        benchmark::RegisterBenchmark(("get/" + name).c_str(), get, store.get())
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(2.0);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(folder);
    return 0;
}
