// The command line of the program: which lines open the dialog, which run unattended, and which
// are refused (exit 87) before anything is done.
#include "fleet/program_options.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ProgramOptions, TellsTheDialogTheUnattendedRunAndTheInformationApart) {
    const struct {
        const wchar_t* line;
        int kind;
    } cases[] = {
        {L"", OPTIONS_INTERACTIVE},
        {L"/debug", OPTIONS_INTERACTIVE},
        {L"  /DEBUG  ", OPTIONS_INTERACTIVE},
        {L"some words the dialog always ignored", OPTIONS_INTERACTIVE},
        {L"/silent", OPTIONS_UNATTENDED},
        {L"-silent", OPTIONS_UNATTENDED},
        {L"/Check", OPTIONS_UNATTENDED},
        {L"/silent /debug", OPTIONS_UNATTENDED},
        {L"/?", OPTIONS_INFORMATION},
        {L"-help", OPTIONS_INFORMATION},
        {L"/version", OPTIONS_INFORMATION},
        {L"/silent /help", OPTIONS_INFORMATION},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.line)));
        ProgramOptions o;
        EXPECT_EQ(ParseProgramOptions(c.line, &o), c.kind)
            << testing::PrintToString(std::wstring(o.Error));
    }
}

TEST(ProgramOptions, ReadsTheValuesOfDiskReportAndLog) {
    ProgramOptions o;
    ASSERT_EQ(
        ParseProgramOptions(L"/silent /disk ZX1 /DISK ZX2 /report \"C:\\Fleet Reports\\r.json\" "
                            L"/log C:\\x\\\"quoted\\\".log /restart /poweroff",
                            &o),
        OPTIONS_UNATTENDED);
    EXPECT_EQ(o.bSilent, 1);
    EXPECT_EQ(o.bCheck, 0);
    EXPECT_EQ(o.bRestart, 1);
    EXPECT_EQ(o.bPowerOff, 1);
    ASSERT_EQ(o.iDiskCount, 2);
    EXPECT_EQ(std::wstring(o.Disks[0]), L"ZX1");
    EXPECT_EQ(std::wstring(o.Disks[1]), L"ZX2");
    EXPECT_EQ(std::wstring(o.ReportPath), L"C:\\Fleet Reports\\r.json");
    EXPECT_EQ(std::wstring(o.LogPath), L"C:\\x\"quoted\".log");
}

TEST(ProgramOptions, RefusesWhatItDoesNotKnowWithTheReason) {
    const struct {
        const wchar_t* line;
        const wchar_t* error;
    } cases[] = {
        {L"/silnet", L"unknown switch /silnet"},
        {L"/debug /x", L"unknown switch /x"},
        {L"-", L"unknown switch -"},
        {L"/silent /disk", L"/disk needs a serial number"},
        {L"/check /report", L"/report needs a file name"},
        {L"/silent /log \"\"", L"/log needs a file name"},
        {L"/silent stray", L"stray is not a switch"},
        {L"/report r.json",
         L"/disk, /report, /log, /restart and /poweroff go with /silent or /check"},
        {L"/restart", L"/disk, /report, /log, /restart and /poweroff go with /silent or /check"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.line)));
        ProgramOptions o;
        EXPECT_EQ(ParseProgramOptions(c.line, &o), OPTIONS_INVALID);
        EXPECT_EQ(std::wstring(o.Error), c.error);
    }
}

TEST(ProgramOptions, RefusesValuesPastTheirRoomAndASeventeenthDisk) {
    ProgramOptions o;
    const std::wstring serial64(64, L'S');
    EXPECT_EQ(ParseProgramOptions((L"/silent /disk " + serial64).c_str(), &o), OPTIONS_INVALID);
    EXPECT_EQ(std::wstring(o.Error), L"/disk: the value is too long");
    const std::wstring serial63(63, L'S');
    ASSERT_EQ(ParseProgramOptions((L"/silent /disk " + serial63).c_str(), &o), OPTIONS_UNATTENDED);
    EXPECT_EQ(std::wstring(o.Disks[0]), serial63);

    const std::wstring path(OPTION_PATH_CHARS, L'p');
    EXPECT_EQ(ParseProgramOptions((L"/silent /report " + path).c_str(), &o), OPTIONS_INVALID);
    EXPECT_EQ(std::wstring(o.Error), L"/report: the value is too long");

    std::wstring sixteen = L"/silent";
    for (int i = 0; i < 16; ++i) {
        sixteen += L" /disk D" + std::to_wstring(i);
    }
    ASSERT_EQ(ParseProgramOptions(sixteen.c_str(), &o), OPTIONS_UNATTENDED);
    EXPECT_EQ(o.iDiskCount, 16);
    EXPECT_EQ(ParseProgramOptions((sixteen + L" /disk D16").c_str(), &o), OPTIONS_INVALID);
    EXPECT_EQ(std::wstring(o.Error), L"/disk: at most 16 disks may be named");
}

TEST(ProgramOptions, TheUsageNamesEverySwitchAndExitCode) {
    const std::wstring usage = ProgramUsageText();
    for (const wchar_t* word : {L"/silent", L"/check", L"/disk", L"/report", L"/log", L"/restart",
                                L"/poweroff", L"/version", L"  3010  ", L"  3020  ", L"  1641  ",
                                L"  1618  ", L"  87  ", L"  17  ", L"  10  "}) {
        EXPECT_NE(usage.find(word), std::wstring::npos)
            << testing::PrintToString(std::wstring(word));
    }
}

} // namespace
