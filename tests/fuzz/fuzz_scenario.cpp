// The scenario reader and the simulated PC built from it: the input is a scenario text. A text
// that is refused names a line the text has; nothing is written anywhere.
#include "sim/control.h"
#include "sim/scenario.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The N of an error "line N: ...", or 0 when the error does not start so.
long ErrorLine(const std::string& error) {
    if (error.compare(0, 5, "line ") != 0) {
        return 0;
    }
    char* end = nullptr;
    long n = std::strtol(error.c_str() + 5, &end, 10);
    return end != nullptr && *end == ':' ? n : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    long lines = 1;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    sim::Scenario scenario;
    std::string error;
    if (!sim::ParseScenario(text, scenario, error)) {
        long n = ErrorLine(error);
        fuzz::Require(n >= 1 && n <= lines, "a refused text names one of its lines");
        return 0;
    }
    error.clear();
    if (!sim::LoadScenarioText(text, &error)) {
        long n = ErrorLine(error);
        fuzz::Require(n >= 1 && n <= lines, "a refused scenario names one of its lines");
    }
    return 0;
}
