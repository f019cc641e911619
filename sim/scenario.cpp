#include "sim/scenario.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <unordered_set>

namespace sim {
namespace {

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) {
        ++b;
    }
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) {
        --e;
    }
    return s.substr(b, e - b);
}

} // namespace

bool ScenarioSection::Has(const std::string& key) const {
    for (const auto& kv : keys) {
        if (kv.first == key) {
            return true;
        }
    }
    return false;
}

int ScenarioSection::LineOf(const std::string& key) const {
    for (size_t i = 0; i < keys.size() && i < keyLines.size(); ++i) {
        if (keys[i].first == key) {
            return keyLines[i];
        }
    }
    return line;
}

std::string ScenarioSection::Get(const std::string& key, const std::string& fallback) const {
    for (const auto& kv : keys) {
        if (kv.first == key) {
            return kv.second;
        }
    }
    return fallback;
}

bool ParseScenario(const std::string& text, Scenario& out, std::string& error) {
    out.sections.clear();
    std::unordered_set<std::string> sectionKeys; // the keys of the last section, for duplicates
    size_t pos = 0;
    int lineNo = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNo;
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            if (end == text.size()) {
                break;
            }
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                error = "line " + std::to_string(lineNo) + ": section without ']'";
                return false;
            }
            std::string inner = Trim(line.substr(1, line.size() - 2));
            ScenarioSection section;
            size_t space = inner.find_first_of(" \t");
            section.type = inner.substr(0, space);
            section.name = space == std::string::npos ? std::string() : Trim(inner.substr(space));
            section.line = lineNo;
            if (section.type.empty() || section.name.empty()) {
                error = "line " + std::to_string(lineNo) + ": a section is \"[type name]\"";
                return false;
            }
            out.sections.push_back(section);
            sectionKeys.clear();
        } else {
            size_t eq = line.find('=');
            if (eq == std::string::npos) {
                error = "line " + std::to_string(lineNo) + ": expected \"key = value\"";
                return false;
            }
            if (out.sections.empty()) {
                error = "line " + std::to_string(lineNo) + ": key outside a section";
                return false;
            }
            std::string key = Trim(line.substr(0, eq));
            std::string value = Trim(line.substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            }
            for (auto& c : key) {
                c = char(std::tolower(static_cast<unsigned char>(c)));
            }
            if (!sectionKeys.insert(key).second) {
                error = "line " + std::to_string(lineNo) + ": key '" + key + "' given twice";
                return false;
            }
            out.sections.back().keys.emplace_back(key, value);
            out.sections.back().keyLines.push_back(lineNo);
        }
        if (end == text.size()) {
            break;
        }
    }
    return true;
}

bool ParseU64(const std::string& text, uint64_t& out) {
    out = 0;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t first = hex ? 2 : 0;
    if (text.size() <= first) {
        return false;
    }
    for (size_t i = first; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (hex ? !std::isxdigit(c) : !std::isdigit(c)) {
            return false; // strtoull would take a sign and blanks, and stop at other text
        }
    }
    errno = 0;
    out = std::strtoull(text.c_str() + first, nullptr, hex ? 16 : 10);
    return errno != ERANGE;
}

std::vector<uint8_t> HexBytes(const std::string& text) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        }
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(uint8_t(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return out;
}

} // namespace sim
