// CrcUpdate of both kinds over 2.5 MB (zlib's crc32 beside them), the image checksum, the
// patch and the version reading of a 617-page image, and the extraction of the demo package.
#include "app/state/app_state.h"
#include "package/image.h"
#include "package/package_files.h"
#include "package/version_rules.h"
#include "platform/posix/control.h"
#include "tools/zxpkg/image_writer.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const size_t kCrcBytes = 2621440; // 2.5 MiB

const std::vector<uint8_t>& CrcData() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d(kCrcBytes);
        for (size_t i = 0; i < d.size(); ++i) {
            d[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
        }
        return d;
    }();
    return data;
}

const std::vector<uint8_t>& SampleImage(int kind) {
    static std::vector<uint8_t> images[2];
    if (images[kind].empty()) {
        zxpkg::ImageRecipe recipe;
        recipe.checksumKind = kind;
        images[kind] = zxpkg::BuildImage(recipe); // the sample header: 617 pages
    }
    return images[kind];
}

fs::path Scratch() {
    static const fs::path p = fs::path("/tmp") / ("zx_bench_" + std::to_string(getpid()));
    fs::create_directories(p);
    return p;
}

void BM_CrcUpdate_Crc32(benchmark::State& state) {
    const auto& d = CrcData();
    for (auto _ : state) {
        benchmark::DoNotOptimize(CrcUpdate(d.data(), d.size(), 0, CHECKSUM_CRC32));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_CrcUpdate_Crc32c(benchmark::State& state) {
    const auto& d = CrcData();
    for (auto _ : state) {
        benchmark::DoNotOptimize(CrcUpdate(d.data(), d.size(), 0, CHECKSUM_CRC32C));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_Crc32cTables(benchmark::State& state) {
    const auto& d = CrcData();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Crc32cTableUpdate(d.data(), d.size(), 0));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_ZlibCrc32(benchmark::State& state) {
    const auto& d = CrcData();
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc32(0, d.data(), static_cast<uInt>(d.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_ImageChecksum(benchmark::State& state) {
    int kind = static_cast<int>(state.range(0));
    const auto& img = SampleImage(kind);
    for (auto _ : state) {
        uint32_t sum = 0;
        ComputeImageChecksum(img.data(), img.size(), kind, &sum);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * img.size()));
}

void BM_PatchImageConfig(benchmark::State& state) {
    int kind = static_cast<int>(state.range(0));
    std::vector<uint8_t> img = SampleImage(kind);
    std::vector<uint8_t> block(FWCONFIG_BLOCK_BYTES, 0x42);
    for (auto _ : state) {
        PatchImageConfig(img.data(), img.size(), block.data(), L"041k020C");
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * img.size()));
}

void BM_ReadImageVersion(benchmark::State& state) {
    const auto& img = SampleImage(1);
    fs::path file = Scratch() / "image.fw";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));
    std::string f = file.string();
    std::wstring path(f.begin(), f.end());
    for (auto _ : state) {
        WCHAR v[VERSION_TEXT_CHARS];
        benchmark::DoNotOptimize(ReadImageVersion(path.c_str(), v, VERSION_TEXT_CHARS));
    }
}

// The start-up path: the resource written out as the archive, unpacked into the working
// folder, the archive deleted.
void BM_ExtractDemoPackage(benchmark::State& state) {
    std::ifstream in(ZX_DEMO_ZIP, std::ios::binary);
    std::vector<char> zip((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    zxposix::RegisterResource(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID, zip.data(), zip.size());
    setenv("TMPDIR", Scratch().c_str(), 1);
    fs::path out = Scratch() / "work";
    std::string o = out.string();
    std::wstring wout(o.begin(), o.end());
    for (auto _ : state) {
        ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID, wout.c_str());
        state.PauseTiming();
        fs::remove_all(out);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * zip.size()));
}

} // namespace

BENCHMARK(BM_CrcUpdate_Crc32);
BENCHMARK(BM_ZlibCrc32);
BENCHMARK(BM_CrcUpdate_Crc32c);
BENCHMARK(BM_Crc32cTables);
BENCHMARK(BM_ImageChecksum)->Arg(0)->Arg(1);
BENCHMARK(BM_PatchImageConfig)->Arg(0)->Arg(1);
BENCHMARK(BM_ReadImageVersion);
BENCHMARK(BM_ExtractDemoPackage);

int main(int argc, char** argv) {
    InitAppState("");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(Scratch(), ec);
    return 0;
}
