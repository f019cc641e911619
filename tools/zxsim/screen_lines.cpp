// The screen lines of the dialog (tools/zxsim/screen_lines.h).
#include "tools/zxsim/screen_lines.h"
#include "app/resource_ids.h"
#include "tools/zxsim/text_output.h"

namespace zxsim {
namespace {

std::string Line(const char* name, const std::string& value) {
    return std::string(name) + ": " + value + "\n";
}

} // namespace

const ScreenFieldControl kScreenFields[6] = {
    {IDC_MODEL, "model"},       {IDC_SERIAL, "serial"},     {IDC_INTERFACE, "interface"},
    {IDC_FIRMWARE, "firmware"}, {IDC_CAPACITY, "capacity"}, {IDC_STATUS, "status"}};

std::string FormatScreenLines(const ScreenView& v) {
    std::string s = Line("title", Quote(v.title));
    if (v.hasList) {
        std::string selection = v.selection < 0 ? std::string("none") : std::to_string(v.selection);
        s +=
            Line("list", std::string(v.listEnabled ? "enabled" : "disabled") + ", " +
                             std::to_string(v.entries.size()) + " entries, selection " + selection);
        for (size_t i = 0; i < v.entries.size(); i++) {
            s += "entry " + std::to_string(i) + ": " + Quote(v.entries[i].text) + ", data " +
                 std::to_string(v.entries[i].data) + "\n";
        }
    }
    for (const ScreenField& f : v.fields) {
        s += Line(f.name, Quote(f.text));
    }
    if (v.hasRun) {
        s += Line("RUN", v.runEnabled ? "enabled" : "disabled");
    }
    if (v.hasProgress) {
        s += Line("progress", std::to_string(v.progress));
    }
    return s;
}

} // namespace zxsim
