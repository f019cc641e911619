// A test fixture on the simulated PC: loads a scenario, writes the request trace to a file of
// the test's own and reads it back.
#pragma once

#include "platform/win32.h"
#include "sim/control.h"
#include "tests/support/trace_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class SimTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sim::Install(); }
    void TearDown() override {
        sim::HoldReturns(false);
        sim::SetTraceFile("");
    }

    void Load(const std::string& scenario) {
        std::string error;
        ASSERT_TRUE(sim::LoadScenarioText(scenario, &error)) << error;
    }

    void StartTrace() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        tracePath_ = ::testing::TempDir() + "trace_" + info->test_suite_name() + "_" +
                     info->name() + ".jsonl";
        ASSERT_TRUE(sim::SetTraceFile(tracePath_));
    }

    // The records written since StartTrace(); fails the test when a line is not JSON.
    std::vector<tracetest::Value> Records() {
        bool ok = false;
        std::string bad;
        auto records = tracetest::ReadTrace(tracePath_, ok, bad);
        EXPECT_TRUE(ok) << "not a JSON object: " << bad;
        return records;
    }

    static HANDLE Open(const wchar_t* path) {
        return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    }

    std::string tracePath_;
};

inline std::string Field(const tracetest::Value& record, const std::string& key) {
    auto it = record.fields.find(key);
    return it == record.fields.end() ? std::string("<missing>") : it->second.text;
}

inline uint64_t Num(const tracetest::Value& record, const std::string& key) {
    auto it = record.fields.find(key);
    if (it == record.fields.end() || it->second.kind != tracetest::Value::Number) {
        ADD_FAILURE() << "no number " << key;
        return ~0ull;
    }
    return it->second.U();
}

inline std::string Zeros(size_t bytes) {
    return std::string(bytes * 2, '0');
}
