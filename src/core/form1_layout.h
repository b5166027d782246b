// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <string_view>

namespace zuno {

enum class ControlKind { Label, Frame, LineEdit, Button, ResultBox, LinkLabel };

struct TwipsRect {
    int left, top, width, height;
};

// One control of the window, in the order of the tab index. Positions are relative to the
// client area, or to Frame1 for the controls placed on it.
struct FormControl {
    std::string_view name;
    ControlKind kind;
    bool onFrame1;
    std::u16string_view caption;
    TwipsRect twips;
};

inline constexpr std::u16string_view kForm1Caption = u"ZUNO全国电话号码归属地查询";
inline constexpr int kForm1ClientWidthTwips = 4785;
inline constexpr int kForm1ClientHeightTwips = 3090;
// Twips in an inch; a logical inch has `dpi` pixels.
inline constexpr int kTwipsPerInch = 1440;

inline constexpr std::array<FormControl, 6> kForm1Controls = {{
    {"Label1", ControlKind::Label, false, u"全国电话号码归属地查询", {240, 120, 4333, 255}},
    {"Frame1", ControlKind::Frame, false, u"请输入电话号码或手机号码", {231, 360, 4333, 2415}},
    {"Text1", ControlKind::LineEdit, true, u"", {231, 360, 2689, 375}},
    {"Command1", ControlKind::Button, true, u"查询", {3120, 360, 975, 375}},
    {"Text2", ControlKind::ResultBox, true, u"", {231, 960, 3851, 1215}},
    {"Label2",
     ControlKind::LinkLabel,
     false,
     u"ZUNO-当前版本1.2 最新版下载",
     {231, 2820, 3015, 165}},
}};

// The controls the keyboard focus cycles through with Tab, in order; the first has it at start.
inline constexpr std::array<std::string_view, 3> kForm1TabCycle = {"Text1", "Command1", "Text2"};

// Pixels for a length in twips at `dpi` pixels an inch, rounded to the nearest (half away from 0).
int twipsToPixels(int twips, int dpi);

// The control named `name`, or nullptr.
const FormControl *form1Control(std::string_view name);

}  // namespace zuno
