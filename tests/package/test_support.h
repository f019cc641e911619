// Helpers of the package tests: a fresh folder per test, the Debug log captured in a file,
// images built byte by byte, and text conversions.
#pragma once

#include "app/state/app_state.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <unistd.h>

namespace zxtest {

namespace fs = std::filesystem;

inline std::wstring W(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}
inline std::string N(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) {
        out.push_back(static_cast<char>(c));
    }
    return out;
}

inline std::vector<uint8_t> ReadBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

inline void WriteBytes(const fs::path& p, const void* data, size_t size) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline void WriteText(const fs::path& p, const std::string& text) {
    WriteBytes(p, text.data(), text.size());
}

// A fresh folder under /tmp for one test, removed afterwards; the Debug log goes to a file in
// it and the Application state starts zeroed with the log on.
class PackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        dir_ = fs::path("/tmp") / ("zx_pkg_" + std::to_string(getpid()) + "_" + name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        log_.Start((dir_ / "debug.log").string());
        InitAppState("/debug");
    }
    void TearDown() override {
        log_.Stop();
        EXPECT_EQ(chdir("/"), 0); // a clean-up may have left the current directory in dir_
        fs::remove_all(dir_);
    }
    // The text of every Debug log line, without the log's prefix, in order.
    std::vector<std::string> LogLines() const { return log_.Lines(); }
    void ClearLog() const { log_.Clear(); }
    fs::path dir_;
    testsupport::LogCapture log_;
};

// An image of pages, built in the test: header with the magic and the region entries, and the
// trailer fields written where the image format puts them.
struct TestImage {
    std::vector<uint8_t> bytes;
    explicit TestImage(size_t pages) : bytes(pages * 4096, 0) {
        const uint8_t magic[4] = {'C', 'M', 'F', 'G'};
        std::memcpy(bytes.data(), magic, 4);
    }
    void Put32(size_t offset, uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            bytes[offset + i] = static_cast<uint8_t>(v >> (8 * i));
        }
    }
    uint32_t Get32(size_t offset) const {
        return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
               (static_cast<uint32_t>(bytes[offset + 3]) << 24);
    }
    void Region(int k, uint32_t first, uint32_t last) {
        Put32(16 + 8 * k, first);
        Put32(20 + 8 * k, last);
    }
    void Fill(size_t from, size_t to, uint8_t seed) {
        for (size_t i = from; i < to; ++i) {
            bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
        }
    }
    // Stores zlib's CRC-32 (an implementation apart from the program's) of the image checksum's
    // bytes in the trailer after region 2: header bytes 0-79, 4016 zeros, regions 0, 1 and 2.
    void StoreZlibCrc32() {
        const std::vector<uint8_t> zeros(4016, 0);
        uLong crc = crc32(0, bytes.data(), 80);
        crc = crc32(crc, zeros.data(), 4016);
        for (int r = 0; r < 3; ++r) {
            const size_t first = Get32(16 + 8 * size_t(r));
            const size_t last = Get32(20 + 8 * size_t(r));
            crc = crc32(crc, bytes.data() + first * 4096, uInt((last + 1 - first) * 4096));
        }
        Put32((Get32(36) + 1) * 4096 + 12, uint32_t(crc));
    }
};

} // namespace zxtest
