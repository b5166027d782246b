// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <windows.h>

#include <array>
#include <string>
#include <string_view>

namespace zuno {

// The program's one window on Win32: the controls of the shared layout table, placed at the
// monitor's DPI, and the two clicks. A lookup runs on a thread of its own, so that the window
// keeps painting and can be closed meanwhile; a click while one runs starts nothing.
class Form1
{
public:
    explicit Form1(std::string serviceHost);
    ~Form1();
    Form1(const Form1 &) = delete;
    Form1 &operator=(const Form1 &) = delete;

    // Creates and shows the window; false when it could not be created.
    bool show(HINSTANCE instance, int showCommand);
    HWND window() const { return window_; }
    // The control of the layout table named `name`, or nullptr.
    HWND control(std::string_view name) const;

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

    void createControls(HINSTANCE instance);
    void layOut(UINT dpi);
    void onCommand1Clicked();
    void onLookupEnded(std::u16string *shown);
    void onLabel2Clicked();

    std::string serviceHost_;
    HWND window_ = nullptr;
    std::array<HWND, 6> controls_{};  // in the order of the layout table
    HFONT font_ = nullptr;
    UINT dpi_ = 96;
    HWND focusBeforeDeactivation_ = nullptr;
    bool lookupRunning_ = false;
};

}  // namespace zuno
