// The trace tests' fixture (the default scenario) and what every trace record carries: seq,
// tid, op, path, ok and error; for a DeviceIoControl also ioctl, code, in_len, out_len, the
// input bytes in hex, and the decoded fields of its request kind.
#pragma once

#include "tests/support/sim_fixture.h"

#include <initializer_list>
#include <string>

class TraceTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(sim::LoadDefaultScenario());
    }
};

inline bool Is(const tracetest::Value& r, const char* key, tracetest::Value::Kind kind) {
    auto it = r.fields.find(key);
    return it != r.fields.end() && it->second.kind == kind;
}

inline void Send(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize) {
    DWORD returned = 0;
    DeviceIoControl(h, code, in, inSize, out, outSize, &returned, NULL);
}

// The record's fields of the contract, as the kinds they have; `decoded` are the numeric fields
// of a DeviceIoControl's request kind.
inline void ExpectContractFields(const tracetest::Value& r, const std::string& op,
                                 std::initializer_list<const char*> decoded = {}) {
    EXPECT_TRUE(Is(r, "seq", tracetest::Value::Number));
    EXPECT_TRUE(Is(r, "tid", tracetest::Value::Number));
    EXPECT_TRUE(Is(r, "path", tracetest::Value::String));
    EXPECT_TRUE(Is(r, "ok", tracetest::Value::Bool));
    EXPECT_TRUE(Is(r, "error", tracetest::Value::Number));
    EXPECT_EQ(Field(r, "op"), op);
    if (op != "DeviceIoControl") {
        return;
    }
    for (const char* key : {"ioctl", "in"}) {
        EXPECT_TRUE(Is(r, key, tracetest::Value::String)) << key;
    }
    for (const char* key : {"code", "in_len", "out_len"}) {
        EXPECT_TRUE(Is(r, key, tracetest::Value::Number)) << key;
    }
    EXPECT_EQ(Field(r, "in").size(), 2 * Num(r, "in_len"));
    for (const char* key : decoded) {
        EXPECT_TRUE(Is(r, key, tracetest::Value::Number)) << key;
    }
}
