#include "platform/win32.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(DebugOutputTest, LinesGoToTheFileTheEnvironmentNames) {
    std::string path = "/tmp/zx_debug_output_" + std::to_string(getpid()) + ".log";
    unlink(path.c_str());
    setenv("ZX_DEBUG_LOG", path.c_str(), 1);
    OutputDebugStringW(L"first \u00E9");
    OutputDebugStringW(L"second");
    unsetenv("ZX_DEBUG_LOG");
    EXPECT_EQ(ReadAll(path), "first \xC3\xA9\nsecond\n");
    unlink(path.c_str());
}

} // namespace
