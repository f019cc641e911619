// The screen lines of the program's dialog, as `zxsim run` and the win64-sim driver print them
// (docs/zxsim.md): each reads the dialog its own way into a ScreenView, and this one formatter
// makes the lines, so the two outputs can be compared line by line.
#pragma once

#include <string>
#include <vector>

namespace zxsim {

struct ScreenEntry {
    std::wstring text;
    long long data = 0; // the entry's item data
};

struct ScreenField {
    const char* name; // "model", "serial", ..., "status"
    std::wstring text;
};

// What the screen shows; a part whose control the dialog lacks is left out.
struct ScreenView {
    std::wstring title;
    bool hasList = false;
    bool listEnabled = false;
    long long selection = -1; // -1: none
    std::vector<ScreenEntry> entries;
    std::vector<ScreenField> fields; // in the order of kScreenFields
    bool hasRun = false;
    bool runEnabled = false;
    bool hasProgress = false;
    long long progress = 0;
};

// The panel fields and the status line, by control id, in the order the screen lists them.
struct ScreenFieldControl {
    int id;
    const char* name;
};
extern const ScreenFieldControl kScreenFields[6];

// title, list state, entries with their item data, the fields, RUN, the progress bar's position.
std::string FormatScreenLines(const ScreenView& view);

} // namespace zxsim
