// The request trace as flat records of field name to value text, for the bridge and
// vendor-command tests: strings unescaped, numbers and booleans as written, arrays of numbers
// as "[a,b,...]". Read with the strict JSON Lines reader of the simulated-PC tests; a line that
// is not a JSON object fails the test.
#pragma once

#include "tests/sim/trace_reader.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace tracetest {

using Record = std::map<std::string, std::string>;

inline std::string TextOf(const Value& v) {
    switch (v.kind) {
    case Value::Bool:
        return v.b ? "true" : "false";
    case Value::Null:
        return "null";
    case Value::Array: {
        std::string s = "[";
        for (size_t i = 0; i < v.items.size(); ++i) {
            s += (i == 0 ? "" : ",") + TextOf(v.items[i]);
        }
        return s + "]";
    }
    default:
        return v.text;
    }
}

inline std::vector<Record> ReadTrace(const std::string& path) {
    bool ok = false;
    std::string bad;
    std::vector<Record> out;
    for (const Value& v : ReadTrace(path, ok, bad)) {
        Record r;
        for (const auto& kv : v.fields) {
            r[kv.first] = TextOf(kv.second);
        }
        out.push_back(r);
    }
    EXPECT_TRUE(ok) << "not a JSON object: " << bad;
    return out;
}

// The value of a field, or "<missing>".
inline std::string Field(const Record& r, const std::string& key) {
    auto it = r.find(key);
    return it == r.end() ? std::string("<missing>") : it->second;
}

} // namespace tracetest
