// Scenario files: the text that describes a simulated PC (docs/scenario.md).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// One "[type name]" block and its "key = value" lines, in file order.
struct ScenarioSection {
    std::string type;
    std::string name;
    int line = 0;
    std::vector<std::pair<std::string, std::string>> keys;
    std::vector<int> keyLines; // the line of each key, in the order of keys

    bool Has(const std::string& key) const;
    // The line of the key, or the section's own line when it has no such key.
    int LineOf(const std::string& key) const;
    std::string Get(const std::string& key, const std::string& fallback = std::string()) const;
};

struct Scenario {
    std::vector<ScenarioSection> sections;
};

// Parses the text; on a syntax error returns false with "line N: ..." in error.
bool ParseScenario(const std::string& text, Scenario& out, std::string& error);

// A number of a scenario value: decimal digits, or hex digits after "0x"; false for an empty
// text, a sign, blanks, anything after the digits, and a number past 64 bits.
bool ParseU64(const std::string& text, uint64_t& out);

// The bytes of a scenario value written as hex digits ("9B C5 58"); anything else between
// them is ignored, and an odd last digit is dropped.
std::vector<uint8_t> HexBytes(const std::string& text);

// The embedded default scenario.
const std::string& DefaultScenarioText();

} // namespace sim
