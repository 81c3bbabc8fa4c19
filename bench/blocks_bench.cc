// bench-libs: blocks
// Throughput of the per-block transformations and of the pipeline's channels: what one
// stage can do per second at most, the ceiling against which a whole backup is compared.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "blocks/Block.h"
#include "blocks/IndexedBlockMap.h"
#include "crypto/CryptoLibrary.h"
#include "crypto/SecureChannel.h"
#include "yin/Channel.h"

namespace {

constexpr std::uint64_t kBlockSize = 4096;

// Half random, half zeros: a cluster that compresses to about half.
std::shared_ptr<blocks::Block> sampleBlock() {
    auto buffer = std::make_shared<unsigned char[]>(kBlockSize);
    std::mt19937 random(7);
    for (std::uint64_t i = 0; i < kBlockSize / 2; ++i)
        buffer[i] = static_cast<unsigned char>(random());
    return std::make_shared<blocks::Block>(0, kBlockSize, buffer, kBlockSize, false, false);
}

void deflateBlock(benchmark::State& state) {
    blocks::DeflateStream stream(static_cast<int>(state.range(0)));
    auto original = sampleBlock();
    for (auto _ : state) {
        blocks::Block block = *original;
        block.deflate(stream);
        benchmark::DoNotOptimize(block.length());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockSize));
}
BENCHMARK(deflateBlock)->Arg(1)->Arg(6);

void inflateBlock(benchmark::State& state) {
    blocks::DeflateStream deflater(6);
    blocks::InflateStream inflater;
    auto compressed = sampleBlock();
    compressed->deflate(deflater);
    for (auto _ : state) {
        blocks::Block block = *compressed;
        block.inflate(inflater);
        benchmark::DoNotOptimize(block.length());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockSize));
}
BENCHMARK(inflateBlock);

void encryptBlock(benchmark::State& state) {
    crypto::CryptoLibrary::initialise();
    crypto::KeyMsg key(1, std::string(16, '\x42'), std::string(8, '\x01'));
    crypto::CipherContext context;
    auto original = sampleBlock();
    for (auto _ : state) {
        blocks::Block block = *original;
        block.encrypt(key, context);
        benchmark::DoNotOptimize(block.length());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockSize));
}
BENCHMARK(encryptBlock);

// Protocol version 2's record seal (AES-256-GCM with the record's associated data), the
// counterpart of Blowfish above.
void sealBlock(benchmark::State& state) {
    crypto::CryptoLibrary::initialise();
    crypto::SecureChannel channel(std::string(32, 's'), std::string(32, 't'), true);
    crypto::BlockSealer sealer = channel.blockSealer(true);
    auto original = sampleBlock();
    std::vector<unsigned char> out(kBlockSize + crypto::kChannelTagBytes);
    crypto::BlockPlace place;
    place.plainLength = static_cast<std::uint32_t>(kBlockSize);
    for (auto _ : state) {
        ++place.position;
        sealer.seal(place, original->getData(), original->length(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockSize));
}
BENCHMARK(sealBlock);

void digestBlock(benchmark::State& state) {
    crypto::CryptoLibrary::initialise();
    auto block = sampleBlock();
    for (auto _ : state)
        block->computeDigest();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockSize));
}
BENCHMARK(digestBlock);

void rankOfUsedBlock(benchmark::State& state) {
    blocks::IndexedBlockMap map(1 << 24);
    for (std::uint64_t i = 0; i < (1 << 24); i += 3)
        map.sequentiallySetBit(i);
    std::uint64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(map.getUsedBlockIndex(i));
        i = (i + 3 * 7919) % (1 << 24) / 3 * 3;
    }
}
BENCHMARK(rankOfUsedBlock);

// One thread puts and takes: the cost of a channel hop without contention.
void channelHop(benchmark::State& state) {
    yin::Channel<std::shared_ptr<blocks::Block>> channel;
    auto block = sampleBlock();
    std::shared_ptr<blocks::Block> out;
    for (auto _ : state) {
        channel.put(block);
        channel.take(out);
    }
}
BENCHMARK(channelHop);

}  // namespace

BENCHMARK_MAIN();
