#include "platform/win32.h"

#include <gtest/gtest.h>

#include <stdint.h>

namespace {

TEST(VirtualMemoryTest, BlocksArePageAlignedAndZeroFilled) {
    const SIZE_T sizes[] = {1, 144, 4136, 4096 * 617};
    for (SIZE_T size : sizes) {
        BYTE* p = static_cast<BYTE*>(
            VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u);
        for (SIZE_T i = 0; i < size; ++i) {
            ASSERT_EQ(p[i], 0) << i;
        }
        p[size - 1] = 0xFF;
        EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    }
}

TEST(VirtualMemoryTest, ReleaseNeedsTheBaseAddressAndSizeZero) {
    BYTE* p =
        static_cast<BYTE*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(VirtualFree(p, 4096, MEM_RELEASE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(VirtualFree(p + 16, 0, MEM_RELEASE));
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE)); // released once only
    EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE), nullptr);
}

} // namespace
