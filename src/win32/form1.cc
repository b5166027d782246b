// SPDX-License-Identifier: Apache-2.0
#include "form1.h"

#include "form1_layout.h"
#include "get_body.h"
#include "home_page.h"
#include "lookup_rule.h"

#include <commctrl.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <utility>

namespace zuno {
namespace {

constexpr wchar_t kWindowClass[] = L"ZunoLookupForm1";
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
// Posted by a lookup's thread with the text to show (an std::u16string the window then owns).
constexpr UINT kLookupEnded = WM_APP + 1;
// Control IDs start past IDOK and IDCANCEL, which the dialog manager sends for Enter and Escape.
constexpr int kFirstControlId = 100;
constexpr std::size_t kText1 = 2, kCommand1 = 3, kText2 = 4, kLabel2 = 5;

std::wstring wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

// Windows 10's per-monitor functions, looked up at run time so that the program still starts on
// Windows 7, which has neither.
UINT dpiOfWindow(HWND window)
{
    using GetDpiForWindowFunction = UINT(WINAPI *)(HWND);
    static const auto getDpiForWindow =
        reinterpret_cast<GetDpiForWindowFunction>(reinterpret_cast<void *>(
            GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow) {
        if (const UINT dpi = getDpiForWindow(window))
            return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The outer size for a client area at dpi; Windows 10's per-DPI metrics when it has them.
RECT windowRectFor(RECT client, DWORD style, UINT dpi)
{
    using AdjustForDpiFunction = BOOL(WINAPI *)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi =
        reinterpret_cast<AdjustForDpiFunction>(reinterpret_cast<void *>(
            GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    if (!adjustForDpi || !adjustForDpi(&client, style, FALSE, 0, dpi))
        AdjustWindowRectEx(&client, style, FALSE, 0);
    return client;
}

// The system's message font (Microsoft YaHei on a Chinese Windows) at the window's DPI.
HFONT createMessageFont(UINT dpi)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        return nullptr;
    HDC screen = GetDC(nullptr);
    const int systemDpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi),
                                            systemDpi > 0 ? systemDpi : 96);
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

// Tab leaves both boxes (the multi-line one would keep it as a character otherwise), and Ctrl+A
// selects the whole text, as in other Windows text boxes.
LRESULT CALLBACK textBoxProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                  DWORD_PTR)
{
    if (message == WM_GETDLGCODE) {
        LRESULT code = DefSubclassProc(box, message, wParam, lParam);
        code &= ~(DLGC_WANTTAB | DLGC_WANTALLKEYS);
        const auto *key = reinterpret_cast<const MSG *>(lParam);
        if (key && key->message == WM_KEYDOWN &&
            (key->wParam == VK_TAB || key->wParam == VK_RETURN || key->wParam == VK_ESCAPE))
            code &= ~DLGC_WANTMESSAGE;
        return code;
    }
    if (message == WM_CHAR && wParam == 0x01) {  // Ctrl+A
        SendMessageW(box, EM_SETSEL, 0, -1);
        return 0;
    }
    if (message == WM_NCDESTROY)
        RemoveWindowSubclass(box, textBoxProcedure, 0);
    return DefSubclassProc(box, message, wParam, lParam);
}

struct ControlClass {
    const wchar_t *name;
    DWORD style;
    DWORD extendedStyle;
};

ControlClass classOf(ControlKind kind)
{
    switch (kind) {
    case ControlKind::Label: return {L"STATIC", SS_CENTER | SS_NOPREFIX, 0};
    case ControlKind::Frame: return {L"BUTTON", BS_GROUPBOX, 0};
    case ControlKind::LineEdit: return {L"EDIT", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE};
    case ControlKind::Button: return {L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0};
    case ControlKind::ResultBox:
        return {L"EDIT", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_TABSTOP,
                WS_EX_CLIENTEDGE};
    case ControlKind::LinkLabel: return {L"STATIC", SS_LEFT | SS_NOPREFIX | SS_NOTIFY, 0};
    }
    return {L"STATIC", 0, 0};
}

// The height a one-line caption needs in font, in pixels.
int lineHeight(HWND control, HFONT font)
{
    HDC context = GetDC(control);
    HGDIOBJ previous = SelectObject(context, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(context, &metrics);
    SelectObject(context, previous);
    ReleaseDC(control, context);
    return metrics.tmHeight;
}

}  // namespace

Form1::Form1(std::string serviceHost) : serviceHost_(std::move(serviceHost)) {}

Form1::~Form1()
{
    if (window_)
        DestroyWindow(window_);
    if (font_)
        DeleteObject(font_);
}

bool Form1::show(HINSTANCE instance, int showCommand)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    // Icon group 1 holds icon 30001; the caption's small icon is drawn from it too.
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hIconSm = static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                   GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;

    const std::wstring caption = wide(kForm1Caption);
    window_ = CreateWindowExW(0, kWindowClass, caption.c_str(), kWindowStyle, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                              instance, this);
    if (!window_)
        return false;
    createControls(instance);
    layOut(dpiOfWindow(window_));
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
    SetFocus(controls_[kText1]);
    return true;
}

void Form1::createControls(HINSTANCE instance)
{
    // Created in the table's order, which is the tab order the dialog manager follows.
    for (std::size_t i = 0; i < kForm1Controls.size(); ++i) {
        const FormControl &entry = kForm1Controls[i];
        const ControlClass kind = classOf(entry.kind);
        const std::wstring caption = wide(entry.caption);
        controls_[i] = CreateWindowExW(
            kind.extendedStyle, kind.name, caption.c_str(), WS_CHILD | WS_VISIBLE | kind.style, 0,
            0, 0, 0, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + i)),
            instance, nullptr);
        SetWindowTextW(controls_[i], caption.c_str());
    }
    SendMessageW(controls_[kText1], EM_SETLIMITTEXT, 0, 0);  // 0: as much as an edit can hold
    SendMessageW(controls_[kText2], EM_SETLIMITTEXT, 0, 0);
    SetWindowSubclass(controls_[kText1], textBoxProcedure, 0, 0);
    SetWindowSubclass(controls_[kText2], textBoxProcedure, 0, 0);
}

void Form1::layOut(UINT dpi)
{
    dpi_ = dpi;
    HFONT font = createMessageFont(dpi);
    const auto pixels = [dpi](int twips) { return twipsToPixels(twips, static_cast<int>(dpi)); };

    const RECT frame = windowRectFor(
        {0, 0, pixels(kForm1ClientWidthTwips), pixels(kForm1ClientHeightTwips)}, kWindowStyle, dpi);
    SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    const TwipsRect &frame1 = kForm1Controls[1].twips;
    for (std::size_t i = 0; i < kForm1Controls.size(); ++i) {
        const FormControl &entry = kForm1Controls[i];
        SendMessageW(controls_[i], WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        int left = pixels(entry.twips.left), top = pixels(entry.twips.top);
        if (entry.onFrame1) {
            left += pixels(frame1.left);
            top += pixels(frame1.top);
        }
        int height = pixels(entry.twips.height);
        // A label shorter than a line of the font grows downward rather than cut its caption.
        if (entry.kind == ControlKind::Label || entry.kind == ControlKind::LinkLabel)
            height = std::max(height, lineHeight(controls_[i], font));
        SetWindowPos(controls_[i], nullptr, left, top, pixels(entry.twips.width), height,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (font_)
        DeleteObject(font_);
    font_ = font;
    InvalidateRect(window_, nullptr, TRUE);
}

HWND Form1::control(std::string_view name) const
{
    for (std::size_t i = 0; i < kForm1Controls.size(); ++i) {
        if (kForm1Controls[i].name == name)
            return controls_[i];
    }
    return nullptr;
}

LRESULT CALLBACK Form1::windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto *form =
            static_cast<Form1 *>(reinterpret_cast<CREATESTRUCTW *>(lParam)->lpCreateParams);
        form->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    if (message == WM_NCDESTROY)
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    auto *form = reinterpret_cast<Form1 *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!form)
        return DefWindowProcW(window, message, wParam, lParam);
    return form->handle(message, wParam, lParam);
}

LRESULT Form1::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id == kFirstControlId + static_cast<int>(kCommand1) && HIWORD(wParam) == BN_CLICKED)
            onCommand1Clicked();
        // The second of two quick clicks comes as a double click: it opens the page again.
        else if (id == kFirstControlId + static_cast<int>(kLabel2) &&
                 (HIWORD(wParam) == STN_CLICKED || HIWORD(wParam) == STN_DBLCLK))
            onLabel2Clicked();
        return 0;  // IDOK and IDCANCEL, from Enter and Escape, start nothing
    }
    case kLookupEnded: onLookupEnded(reinterpret_cast<std::u16string *>(lParam)); return 0;
    case WM_SETCURSOR:
        if (lookupRunning_ && LOWORD(lParam) == HTCLIENT) {
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            return TRUE;
        }
        break;
    case WM_ACTIVATE:
        // The focus comes back to the control that had it, as in a dialog.
        if (LOWORD(wParam) == WA_INACTIVE) {
            focusBeforeDeactivation_ = GetFocus();
        } else if (focusBeforeDeactivation_ && IsChild(window_, focusBeforeDeactivation_)) {
            SetFocus(focusBeforeDeactivation_);
            return 0;
        }
        break;
    case WM_DPICHANGED: {
        const auto *suggested = reinterpret_cast<const RECT *>(lParam);
        layOut(HIWORD(wParam));
        SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    case WM_DESTROY:
        window_ = nullptr;
        PostQuitMessage(0);
        return 0;
    default: break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

void Form1::onCommand1Clicked()
{
    if (lookupRunning_)
        return;
    const int length = GetWindowTextLengthW(controls_[kText1]);
    std::wstring typed(static_cast<std::size_t>(length) + 1, L'\0');
    typed.resize(
        static_cast<std::size_t>(GetWindowTextW(controls_[kText1], typed.data(), length + 1)));
    const std::string url = lookupUrl(serviceHost_, std::u16string(typed.begin(), typed.end()));

    // The thread owns its copy of the URL; closing the window ends the program, and the thread
    // with it, whatever it was waiting for.
    lookupRunning_ = true;
    HWND window = window_;
    std::thread([window, url] {
        auto shown = std::make_unique<std::u16string>(textToShow(GetBody(url, kReplyCharset)));
        if (PostMessageW(window, kLookupEnded, 0, reinterpret_cast<LPARAM>(shown.get())))
            shown.release();
    }).detach();
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
}

void Form1::onLookupEnded(std::u16string *shown)
{
    const std::unique_ptr<std::u16string> owned(shown);
    lookupRunning_ = false;
    SetWindowTextW(controls_[kText2], wide(*owned).c_str());
    POINT cursor{};
    GetCursorPos(&cursor);
    SetCursorPos(cursor.x, cursor.y);  // puts the arrow back without waiting for a move
}

void Form1::onLabel2Clicked() { openWithExplorer(homePageUrl(serviceHost_)); }

}  // namespace zuno
