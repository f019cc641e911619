// The logs of the kernel tests: one flat JSON object per line (strings and numbers), read into
// maps of field names to their text.
#pragma once

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace kerneltest {

using Entry = std::map<std::string, std::string>;

// One flat JSON object per line: strings and numbers.
inline bool ParseLine(const std::string& line, Entry* out) {
    size_t i = 0;
    auto skip = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == ',')) {
            ++i;
        }
    };
    if (line.empty() || line[0] != '{') {
        return false;
    }
    ++i;
    while (true) {
        skip();
        if (i < line.size() && line[i] == '}') {
            return true;
        }
        if (i >= line.size() || line[i] != '"') {
            return false;
        }
        size_t end = line.find('"', i + 1);
        if (end == std::string::npos || end + 1 >= line.size() || line[end + 1] != ':') {
            return false;
        }
        std::string key = line.substr(i + 1, end - i - 1);
        i = end + 2;
        std::string value;
        if (i < line.size() && line[i] == '"') {
            end = line.find('"', i + 1);
            if (end == std::string::npos) {
                return false;
            }
            value = line.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            while (i < line.size() && line[i] != ',' && line[i] != '}') {
                value += line[i++];
            }
        }
        (*out)[key] = value;
    }
}

inline bool Load(const char* tool, const std::string& path, std::vector<Entry>* out) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read %s\n", tool, path.c_str());
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        Entry e;
        if (!ParseLine(line, &e)) {
            std::fprintf(stderr, "%s: %s line %d is no JSON object\n", tool, path.c_str(), number);
            return false;
        }
        out->push_back(e);
    }
    return true;
}

inline std::string Get(const Entry& e, const char* key) {
    auto it = e.find(key);
    return it == e.end() ? std::string() : it->second;
}

} // namespace kerneltest
