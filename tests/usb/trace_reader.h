// Reads the simulated PC's request trace (one flat JSON object per line) into records of
// field name to raw value text: strings unescaped, numbers, booleans and arrays as written.
#pragma once

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tracetest {

using Record = std::map<std::string, std::string>;

inline size_t SkipBlanks(const std::string& s, size_t i) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) {
        ++i;
    }
    return i;
}

inline std::string ReadString(const std::string& s, size_t& i) {
    std::string out;
    ++i; // opening quote
    while (i < s.size() && s[i] != '"') {
        if (s[i] == '\\' && i + 1 < s.size()) {
            ++i;
            switch (s[i]) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'u':
                out += char(std::stoi(s.substr(i + 1, 4), nullptr, 16));
                i += 4;
                break;
            default:
                out += s[i];
            }
        } else {
            out += s[i];
        }
        ++i;
    }
    ++i; // closing quote
    return out;
}

inline Record ParseLine(const std::string& line) {
    Record r;
    size_t i = SkipBlanks(line, 0);
    if (i >= line.size() || line[i] != '{') {
        return r;
    }
    ++i;
    while (true) {
        i = SkipBlanks(line, i);
        if (i >= line.size() || line[i] == '}') {
            break;
        }
        if (line[i] == ',') {
            ++i;
            continue;
        }
        const std::string key = ReadString(line, i);
        i = SkipBlanks(line, i);
        ++i; // colon
        i = SkipBlanks(line, i);
        std::string value;
        if (line[i] == '"') {
            value = ReadString(line, i);
        } else if (line[i] == '[') {
            const size_t end = line.find(']', i);
            value = line.substr(i, end + 1 - i);
            i = end + 1;
        } else {
            size_t end = i;
            while (end < line.size() && line[end] != ',' && line[end] != '}') {
                ++end;
            }
            value = line.substr(i, end - i);
            i = end;
        }
        r[key] = value;
    }
    return r;
}

inline std::vector<Record> ReadTrace(const std::string& path) {
    std::vector<Record> out;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) {
        if (!line.empty()) {
            out.push_back(ParseLine(line));
        }
    }
    return out;
}

// The value of a field, or "<missing>".
inline std::string Field(const Record& r, const std::string& key) {
    auto it = r.find(key);
    return it == r.end() ? std::string("<missing>") : it->second;
}

} // namespace tracetest
