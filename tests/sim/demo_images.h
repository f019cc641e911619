// The demo package's firmware images, as zxpkg makes them for the build
// (resources/demo-package/images.txt), and the native download of a whole image, for the tests
// that update simulated drives.
#pragma once

#include "tests/sim/sim_requests.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace demo {

// YMTC: 617 pages with CRC-32C, version parts 04 1k 02 0C, FTL build 0x00010203, configuration
// version 041k020C. MICRON: 43 pages with CRC-32, 04 1k 02 0D, 0x00010204, 041k020D.
constexpr char kYmtc[] = "YMTC_X3_9070_0.fw";
constexpr char kMicron[] = "MICRON_B47R_0.fw";

inline std::vector<uint8_t> Image(const std::string& name) {
    std::ifstream f(std::string(ZX_DEMO_IMAGES) + "/" + name, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                               std::istreambuf_iterator<char>());
    EXPECT_FALSE(bytes.empty()) << name;
    return bytes;
}

// `n` bytes at `at` as text.
inline std::string Text(const std::vector<uint8_t>& b, size_t at, size_t n) {
    return std::string(reinterpret_cast<const char*>(b.data()) + at, n);
}

// The image in 4096-byte pieces (the last one shorter) through IOCTL_STORAGE_FIRMWARE_DOWNLOAD;
// the error of each piece.
inline std::vector<DWORD> NativeDownload(HANDLE h, const std::vector<uint8_t>& image) {
    std::vector<DWORD> errors;
    for (size_t at = 0; at < image.size(); at += 4096) {
        const size_t n = std::min<size_t>(4096, image.size() - at);
        std::vector<uint8_t> in = simreq::NativeDownload(
            at, std::vector<uint8_t>(image.begin() + long(at), image.begin() + long(at + n)));
        errors.push_back(simreq::Ioctl(h, IOCTL_STORAGE_FIRMWARE_DOWNLOAD, in.data(),
                                       DWORD(in.size()), nullptr, 0)
                             .error);
    }
    return errors;
}

// IOCTL_STORAGE_FIRMWARE_ACTIVATE of slot 1 with Flags 1; its error.
inline DWORD NativeActivate(HANDLE h) {
    std::vector<uint8_t> in = simreq::NativeActivate(1, 1);
    return simreq::Ioctl(h, IOCTL_STORAGE_FIRMWARE_ACTIVATE, in.data(), 16, nullptr, 0).error;
}

} // namespace demo
