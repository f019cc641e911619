// The Debug log of one test captured in a file: while the capture runs ZX_DEBUG_LOG names the
// file, and the lines read back without the log's prefix, each checked to carry it unless the
// capture is read while another thread writes it (its last line may be half written).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

class LogCapture {
public:
    // Starts with an empty file at `path`.
    void Start(const std::string& path, bool readWhileWritten = false) {
        path_ = path;
        readWhileWritten_ = readWhileWritten;
        std::remove(path_.c_str());
        setenv("ZX_DEBUG_LOG", path_.c_str(), 1);
    }
    // Ends the capture and removes the file.
    void Stop() {
        unsetenv("ZX_DEBUG_LOG");
        if (!path_.empty()) {
            std::remove(path_.c_str());
        }
    }
    // Forgets what was logged so far.
    void Clear() const { std::remove(path_.c_str()); }
    // The text of every line, without "[ZX]          [middle] ", in order.
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::ifstream in(path_);
        std::string line;
        const std::string prefix = "[ZX]          [middle] ";
        while (std::getline(in, line)) {
            if (!readWhileWritten_) {
                EXPECT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
            }
            lines.push_back(line.compare(0, prefix.size(), prefix) == 0 ? line.substr(prefix.size())
                                                                        : line);
        }
        return lines;
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    bool readWhileWritten_ = false;
};

} // namespace testsupport
