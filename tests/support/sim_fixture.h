// The fixture of every test that runs on the simulated PC: a scenario, the request trace and the
// Debug log (with the Debug flag on) written to a folder of the test's own and read back, and the
// device handles the test opened closed at its end.
#pragma once

#include "app/state/app_state.h"
#include "platform/win32.h"
#include "sim/control.h"
#include "tests/support/log_capture.h"
#include "tests/support/trace_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

class SimTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sim::Install(); }

    // A test that overrides SetUp calls this one first.
    void SetUp() override {
        char dir[] = "/tmp/zx_sim_test_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        tracePath_ = dir_ + "/trace.jsonl";
        log_.Start(dir_ + "/debug.log");
        GetAppState()->DebugFlag = 1;
    }

    void TearDown() override {
        sim::HoldReturns(false);
        sim::SetTraceFile("");
        for (HANDLE h : handles_) {
            CloseHandle(h);
        }
        handles_.clear();
        log_.Stop();
        GetAppState()->DebugFlag = 0;
        if (!dir_.empty()) {
            std::remove(tracePath_.c_str());
            rmdir(dir_.c_str());
        }
    }

    void Load(const std::string& scenario) {
        std::string error;
        ASSERT_TRUE(sim::LoadScenarioText(scenario, &error)) << error;
    }

    // A device handle the test closes itself; INVALID_HANDLE_VALUE when the open fails.
    static HANDLE Open(const wchar_t* path) {
        return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    }

    // A device handle that must open, closed at the end of the test.
    HANDLE OpenPath(const std::wstring& path) {
        HANDLE h = Open(path.c_str());
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "cannot open the device";
        if (h != INVALID_HANDLE_VALUE) {
            handles_.push_back(h);
        }
        return h;
    }

    HANDLE OpenDrive(int number) {
        return OpenPath(L"\\\\.\\PhysicalDrive" + std::to_wstring(number));
    }

    // Starts the trace and the log afresh; what happened before is not looked at.
    void StartTrace() {
        ASSERT_FALSE(dir_.empty()) << "the test's SetUp did not call SimTest::SetUp";
        ASSERT_TRUE(sim::SetTraceFile(tracePath_));
        log_.Clear();
    }

    // The records written since StartTrace(), as JSON values, while the trace goes on; fails the
    // test when a line is not a JSON object.
    std::vector<tracetest::Value> Records() {
        bool ok = false;
        std::string bad;
        auto records = tracetest::ReadTrace(tracePath_, ok, bad);
        EXPECT_TRUE(ok) << "not a JSON object: " << bad;
        return records;
    }

    // Why the simulated PC refused the last request traced since StartTrace(): that record's
    // "refused" field, "" when it has none; fails the test when nothing was traced.
    std::string LastRefusal() {
        const std::vector<tracetest::Value> records = Records();
        if (records.empty()) {
            ADD_FAILURE() << "no request was traced";
            return "<no record>";
        }
        auto it = records.back().fields.find("refused");
        return it == records.back().fields.end() ? std::string() : it->second.text;
    }

    // Ends the trace and returns its records in the flat view.
    std::vector<tracetest::Record> Trace() {
        sim::SetTraceFile("");
        return tracetest::ReadTrace(tracePath_);
    }

    // The Debug log lines since the start or the last StartTrace(), without their prefix.
    std::vector<std::string> LogLines() { return log_.Lines(); }
    void ClearLog() { log_.Clear(); }

private:
    std::string dir_;
    std::string tracePath_;
    testsupport::LogCapture log_;
    std::vector<HANDLE> handles_;
};

// A field of a record in the JSON view, as text, or "<missing>".
inline std::string Field(const tracetest::Value& record, const std::string& key) {
    auto it = record.fields.find(key);
    return it == record.fields.end() ? std::string("<missing>") : it->second.text;
}

// A numeric field of a record in the JSON view; fails the test when there is none.
inline uint64_t Num(const tracetest::Value& record, const std::string& key) {
    auto it = record.fields.find(key);
    if (it == record.fields.end() || it->second.kind != tracetest::Value::Number) {
        ADD_FAILURE() << "no number " << key;
        return ~0ull;
    }
    return it->second.U();
}

// The hex text of `bytes` zero bytes.
inline std::string Zeros(size_t bytes) {
    return std::string(bytes * 2, '0');
}
