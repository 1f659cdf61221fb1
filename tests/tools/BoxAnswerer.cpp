// BoxAnswerer: finds a window of another program, records what it shows and
// (for a message box) presses one of its buttons, so tests can drive and
// read programs that ask questions or show progress.
//
//   BoxAnswerer.exe [/press:yes|no|ok|cancel|none] [/caption:TEXT]
//                   [/class:NAME] [/timeout:MS] [/out:FILE]
//
// The window is a visible top-level window of class NAME (default "#32770",
// a message box), with caption TEXT when given, looked for up to MS
// milliseconds (default 10000). "none", the default, leaves it open. The record is key=value lines written to FILE
// before the button is pressed; in values "\" is written "\\", CR "\r" and LF "\n":
//   caption, text, default (the default button, or "none"), icon
//   (question, error, warning, information, none or unknown), window
//   (x,y,w,h on the screen), client (x,y of its client area on the
//   screen), screen (w,h), style and exstyle (decimal), and one control line
//   per child window: class|style|x,y,w,h in the client area|progress
//   position/maximum|text.
// Exit codes: 0 answered; 1 bad command line; 2 no such window in time;
// 3 the record could not be written or the button is not on the box.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/FileSystem.h"

using namespace orv;

namespace {

constexpr int kPressNone = -1;
// The answers /press: takes; the buttons are also how the record names the default one.
const std::pair<int, std::wstring> kPresses[] = {
    {IDOK, L"ok"}, {IDCANCEL, L"cancel"}, {IDYES, L"yes"}, {IDNO, L"no"}, {kPressNone, L"none"}};

std::wstring ButtonText(int id)
{
    const auto b = std::find_if(std::begin(kPresses), std::end(kPresses), [&](const auto& p) { return p.first == id; });
    return b != std::end(kPresses) ? b->second : L"none";
}

std::wstring ClassOf(HWND hwnd)
{
    wchar_t name[256] = {};
    return hwnd != nullptr && ::GetClassNameW(hwnd, name, 256) ? name : L"";
}

std::wstring TextOf(HWND hwnd)
{
    wchar_t text[4096] = {};
    ::GetWindowTextW(hwnd, text, 4096);
    return text;
}

std::wstring Style(HWND hwnd, int which)
{
    return std::to_wstring(static_cast<unsigned long>(::GetWindowLongW(hwnd, which)));
}

std::wstring Numbers(std::initializer_list<long> values)
{
    std::wstring text;
    for (long v : values) {
        text += (text.empty() ? L"" : L",") + std::to_wstring(v);
    }
    return text;
}

// Whether the icon, drawn over the background the control shows (its
// corner pixel), gives what the screen shows there, give or take edge
// blending: the question and information icons differ in about 7% of their pixels.
bool Shows(HDC shown, HDC drawn, int width, int height, HICON icon)
{
    HBRUSH brush = ::CreateSolidBrush(::GetPixel(shown, 0, 0));
    const RECT all{0, 0, width, height};
    ::FillRect(drawn, &all, brush);
    ::DeleteObject(brush);
    ::DrawIconEx(drawn, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
    int differing = 0;
    for (int i = 0; i < width * height; ++i) {
        const COLORREF a = ::GetPixel(shown, i % width, i / width), b = ::GetPixel(drawn, i % width, i / width);
        differing += std::abs(GetRValue(a) - GetRValue(b)) > 24 || std::abs(GetGValue(a) - GetGValue(b)) > 24 ||
                     std::abs(GetBValue(a) - GetBValue(b)) > 24;
    }
    return differing * 50 <= width * height;
}

// Icon handles cannot be read across processes, so the icon is recognised by
// what it draws: the control's pixels on the screen against each system icon.
std::wstring IconOf(HWND box)
{
    HWND control = nullptr;
    for (HWND child = ::GetWindow(box, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        if ((::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && ::IsWindowVisible(child) &&
            ::SendMessageW(child, STM_GETICON, 0, 0) != 0) {
            control = child;
        }
    }
    if (control == nullptr) {
        return L"none";
    }
    RECT r{};
    ::GetWindowRect(control, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    const std::pair<const wchar_t*, const wchar_t*> known[] = {
        {IDI_QUESTION, L"question"}, {IDI_ERROR, L"error"}, {IDI_WARNING, L"warning"}, {IDI_INFORMATION, L"information"}};
    HDC screen = ::GetDC(nullptr), shown = ::CreateCompatibleDC(screen), drawn = ::CreateCompatibleDC(screen);
    HBITMAP shownBitmap = ::CreateCompatibleBitmap(screen, width, height);
    HBITMAP drawnBitmap = ::CreateCompatibleBitmap(screen, width, height);
    ::SelectObject(shown, shownBitmap);
    ::SelectObject(drawn, drawnBitmap);
    std::wstring found = L"unknown";
    // The box may still be painting or lie under another window: look again,
    // and bring it to the top half-way through.
    for (int attempt = 0; attempt < 10 && found == L"unknown"; ++attempt) {
        if (attempt == 5) {
            ::SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
        ::Sleep(100);
        ::BitBlt(shown, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
        for (const auto& k : known) {
            found = found == L"unknown" && Shows(shown, drawn, width, height, ::LoadIconW(nullptr, k.first)) ? k.second
                                                                                                         : found;
        }
    }
    // Deleting the memory contexts lets go of the bitmaps selected into them.
    ::DeleteDC(shown);
    ::DeleteDC(drawn);
    ::ReleaseDC(nullptr, screen);
    ::DeleteObject(shownBitmap);
    ::DeleteObject(drawnBitmap);
    return found;
}

// The button drawn as the default (the one Enter presses), 0 for none.
int DefaultButtonOf(HWND box)
{
    for (HWND child = ::GetWindow(box, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) == L"Button" && (::GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON &&
            ::IsWindowVisible(child)) {
            return ::GetDlgCtrlID(child);
        }
    }
    return 0;
}

std::wstring Escape(const std::wstring& value)
{
    std::wstring out;
    for (wchar_t c : value) {
        out += c == L'\\' ? L"\\\\" : c == L'\r' ? L"\\r" : c == L'\n' ? L"\\n" : std::wstring(1, c);
    }
    return out;
}

// One line per child window, placed in its parent's client area.
std::wstring Controls(HWND window)
{
    std::wstring lines;
    for (HWND child = ::GetWindow(window, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        RECT r{};
        ::GetWindowRect(child, &r);
        ::MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&r), 2);
        std::wstring bar;
        if (EqualsNoCase(ClassOf(child), PROGRESS_CLASSW)) {
            bar = std::to_wstring(::SendMessageW(child, PBM_GETPOS, 0, 0)) + L"/" +
                  std::to_wstring(::SendMessageW(child, PBM_GETRANGE, FALSE, 0));
        }
        lines += L"control=" + ClassOf(child) + L"|" + Style(child, GWL_STYLE) + L"|" +
                 Numbers({r.left, r.top, r.right - r.left, r.bottom - r.top}) + L"|" + bar + L"|" +
                 Escape(TextOf(child)) + L"\n";
    }
    return lines;
}

std::wstring Describe(HWND box)
{
    wchar_t message[4096] = {};
    ::GetDlgItemTextW(box, 0xFFFF, message, 4096);
    RECT r{};
    ::GetWindowRect(box, &r);
    POINT client{0, 0};
    ::ClientToScreen(box, &client);
    return L"caption=" + Escape(TextOf(box)) + L"\ntext=" + Escape(message) +
           L"\ndefault=" + ButtonText(DefaultButtonOf(box)) + L"\nicon=" + IconOf(box) +
           L"\nwindow=" + Numbers({r.left, r.top, r.right - r.left, r.bottom - r.top}) +
           L"\nclient=" + Numbers({client.x, client.y}) +
           L"\nscreen=" + Numbers({::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)}) +
           L"\nstyle=" + Style(box, GWL_STYLE) + L"\nexstyle=" + Style(box, GWL_EXSTYLE) + L"\n" + Controls(box);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    // "/name:value" options with their defaults; no caption given: any caption.
    std::map<std::wstring, std::wstring> options = {
        {L"/press:", L"none"}, {L"/class:", L"#32770"}, {L"/timeout:", L"10000"}, {L"/out:", L""}};
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i], name = arg.substr(0, arg.find(L':') + 1);
        if (options.count(name) == 0 && name != L"/caption:") {
            return 1;
        }
        options[name] = arg.substr(name.size());
    }
    const auto press = std::find_if(std::begin(kPresses), std::end(kPresses),
                                    [&](const auto& p) { return p.second == options[L"/press:"]; });
    if (press == std::end(kPresses)) {
        return 1;
    }
    const wchar_t* caption = options.count(L"/caption:") ? options[L"/caption:"].c_str() : nullptr;
    const unsigned long timeoutMs = std::wcstoul(options[L"/timeout:"].c_str(), nullptr, 10);
    HWND box = nullptr;
    for (const ULONGLONG deadline = ::GetTickCount64() + timeoutMs; box == nullptr; ::Sleep(50)) {
        do { // the search also finds hidden windows: look past them
            box = ::FindWindowExW(nullptr, box, options[L"/class:"].c_str(), caption);
        } while (box != nullptr && !::IsWindowVisible(box));
        if (box == nullptr && ::GetTickCount64() >= deadline) {
            return 2;
        }
    }
    const int pressed = press->first;
    std::wstring error;
    if (!options[L"/out:"].empty() && !WriteFileAtomic(options[L"/out:"], Describe(box), error)) {
        return 3;
    }
    // A box answers any command id it is sent, even one it has no button
    // for; refuse rather than hand the program an answer it never offered.
    HWND button = pressed > 0 ? ::GetDlgItem(box, pressed) : nullptr;
    if (pressed != kPressNone &&
        (button == nullptr || !::IsWindowVisible(button) ||
         !::PostMessageW(box, WM_COMMAND, MAKEWPARAM(pressed, BN_CLICKED), reinterpret_cast<LPARAM>(button)))) {
        return 3;
    }
    return 0;
}
