// Shared set-up of the SATA tests: the simulated PC with the progress the disk library reports
// captured, the request trace in short, and the pass-through request's input compared with the
// DataBuffer pointer masked.
#pragma once

#include "tests/support/progress_capture.h"
#include "tests/support/scenario_builders.h"
#include "tests/support/sim_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace satatest {

using tracetest::Field;
using tracetest::Record;

// The literal layouts in these tests are the x86_64 ones (ATA_PASS_THROUGH_DIRECT 48 bytes,
// SCSI_PASS_THROUGH_DIRECT 56, the pass-through request 128 with the sense area at 60).
static_assert(sizeof(void*) == 8, "the SATA tests' literal layouts are x86_64's");

// A request of the trace in short: the operation, and for a DeviceIoControl the control code,
// whether it succeeded, and what tells requests of that code apart.
inline std::string Summary(const Record& r) {
    if (Field(r, "op") == "CreateFileW") {
        return "CreateFileW " + Field(r, "path") + (Field(r, "ok") == "true" ? "" : " failed");
    }
    const std::string ioctl = Field(r, "ioctl");
    std::string line = ioctl + (Field(r, "ok") == "true" ? "" : " failed");
    if (ioctl == "IOCTL_ATA_PASS_THROUGH_DIRECT") {
        // CurrentTaskFile from the input as given (bytes 40..47), also of a refused request.
        line += " " + Field(r, "in").substr(2 * 40, 16);
    } else if (ioctl == "IOCTL_SCSI_PASS_THROUGH_DIRECT") {
        line += " " + Field(r, "cdb");
    } else if (ioctl == "IOCTL_STORAGE_QUERY_PROPERTY") {
        line += " " + Field(r, "property_id");
    }
    return line;
}

inline std::vector<std::string> Summaries(const std::vector<Record>& trace) {
    std::vector<std::string> lines;
    for (const Record& r : trace) {
        lines.push_back(Summary(r));
    }
    return lines;
}

// The hex of a request's input with the 8 bytes of a pointer at `pointerAt` written as "x".
inline std::string MaskPointer(const std::string& hex, size_t pointerAt) {
    std::string masked = hex;
    if (masked.size() >= 2 * (pointerAt + 8)) {
        masked.replace(2 * pointerAt, 16, std::string(16, 'x'));
    }
    return masked;
}

class SataTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        testsupport::StartProgressCapture();
    }
    void TearDown() override {
        testsupport::StopProgressCapture();
        SimTest::TearDown();
    }
};

} // namespace satatest
