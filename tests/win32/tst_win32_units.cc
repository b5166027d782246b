// SPDX-License-Identifier: Apache-2.0
// Runs under Wine: every row of the decoding table through BytesToBstr, and the window's layout
// table against the controls Form1 made, at the DPI it was made for.
#include "bytes_to_bstr.h"
#include "form1.h"
#include "form1_layout.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int failures = 0;

void fail(const std::string &what)
{
    std::printf("FAIL: %s\n", what.c_str());
    ++failures;
}

std::string hexOf(std::u16string_view units)
{
    std::string hex;
    char unit[8];
    for (const char16_t c : units) {
        std::snprintf(unit, sizeof unit, "%s%04X", hex.empty() ? "" : " ", unsigned(c));
        hex += unit;
    }
    return hex.empty() ? "-" : hex;
}

std::string bytesOf(const std::string &hex)
{
    std::string bytes;
    std::istringstream pairs(hex == "-" ? "" : hex);
    for (std::string pair; pairs >> pair;)
        bytes.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
    return bytes;
}

void checkDecodingTable(const char *path)
{
    std::ifstream table(path);
    if (!table)
        return fail(std::string("cannot read ") + path);
    int rows = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t first = line.find('\t'), second = line.find('\t', first + 1);
        const std::string name = line.substr(0, first);
        const std::string bytes = bytesOf(line.substr(first + 1, second - first - 1));
        const std::string expected = line.substr(second + 1);
        ++rows;
        try {
            const zuno::FetchedValue text =
                zuno::BytesToBstr(zuno::FetchedValue::fromBytes(bytes), u"GB2312");
            if (!text.isText() || hexOf(text.toText()) != expected)
                fail("decoding '" + name + "': " + hexOf(text.toText()) + ", expected " + expected);
        } catch (const std::exception &error) {
            fail("decoding '" + name + "' threw " + error.what());
        }
    }
    if (rows == 0)
        fail("the decoding table has no rows");
    std::printf("%d decoding rows\n", rows);
}

// A refused label is an error, so that GetBody returns the bytes.
void checkRefusedLabels()
{
    for (const std::u16string_view label : {u"no-such-charset", u"", u"utf-8", u"gb18030"}) {
        try {
            zuno::BytesToBstr(zuno::FetchedValue::fromBytes("abc"), label);
            fail("a label that is not code page 936 was accepted");
        } catch (const zuno::ConversionError &) {}
    }
    for (const std::u16string_view label : {u"gbk", u" GB2312\t", u"x-gbk", u"CHINESE"}) {
        try {
            zuno::BytesToBstr(zuno::FetchedValue::fromBytes("abc"), label);
        } catch (const zuno::ConversionError &) {
            fail("a label of code page 936 was refused");
        }
    }
}

RECT rectInClient(HWND window, HWND control)
{
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

void checkLayout(HINSTANCE instance)
{
    zuno::Form1 form("127.0.0.1:9");
    if (!form.show(instance, SW_SHOWNOACTIVATE))
        return fail("Form1 was not created");
    HWND window = form.window();
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    const auto pixels = [dpi](int twips) { return zuno::twipsToPixels(twips, dpi); };

    RECT client{};
    GetClientRect(window, &client);
    if (client.right != pixels(zuno::kForm1ClientWidthTwips) ||
        client.bottom != pixels(zuno::kForm1ClientHeightTwips))
        fail("the client area is " + std::to_string(client.right) + " x " +
             std::to_string(client.bottom));

    const RECT frame = rectInClient(window, form.control("Frame1"));
    for (const zuno::FormControl &entry : zuno::kForm1Controls) {
        HWND control = form.control(entry.name);
        const std::string name(entry.name);
        if (!control) {
            fail(name + " was not made");
            continue;
        }
        const RECT placed = rectInClient(window, control);
        const int originX = entry.onFrame1 ? frame.left : 0,
                  originY = entry.onFrame1 ? frame.top : 0;
        if (placed.left - originX != pixels(entry.twips.left) ||
            placed.top - originY != pixels(entry.twips.top) ||
            placed.right - placed.left != pixels(entry.twips.width) ||
            placed.bottom - placed.top < pixels(entry.twips.height))
            fail(name + " is not at its table rectangle");
        if (placed.right > client.right || placed.bottom > client.bottom)
            fail(name + " reaches out of the client area");
        if (entry.onFrame1 && (placed.right > frame.right || placed.bottom > frame.bottom))
            fail(name + " reaches out of Frame1");
        wchar_t caption[64] = {};
        GetWindowTextW(control, caption, 64);
        if (std::u16string_view(reinterpret_cast<const char16_t *>(caption)) != entry.caption)
            fail(name + " has another caption");
    }

    // The dialog manager's Tab order: Text1, Command1, Text2 and round again; nothing else.
    HWND focus = form.control(zuno::kForm1TabCycle[0]);
    for (std::size_t step = 1; step <= 2 * zuno::kForm1TabCycle.size(); ++step) {
        focus = GetNextDlgTabItem(window, focus, FALSE);
        const std::string_view expected = zuno::kForm1TabCycle[step % zuno::kForm1TabCycle.size()];
        if (focus != form.control(expected))
            fail(std::string("Tab step ").append(std::to_string(step)).append(" misses ") +
                 std::string(expected));
    }
}

}  // namespace

// Usage: tst_win32_units DECODING-TABLE
int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    checkDecodingTable(argv[1]);
    checkRefusedLabels();
    checkLayout(GetModuleHandleW(nullptr));
    std::printf("%s\n", failures == 0 ? "all checks passed" : "some checks failed");
    return failures == 0 ? 0 : 1;
}
