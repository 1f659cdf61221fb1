// BoxAnswerer: finds a message box, records what it shows and presses one of
// its buttons, so tests can drive programs that ask questions.
//
//   BoxAnswerer.exe [/press:yes|no|ok|cancel|default|none] [/caption:TEXT]
//                   [/timeout:MS] [/count:N] [/out:FILE]
//
// A box is a visible top-level window of class "#32770" (with caption TEXT
// when given). Each is looked for up to MS milliseconds (default 10000); N
// boxes (default 1) are answered one after the other. "default" presses the
// box's default button, "none" leaves it open. Each record is a block of
// key=value lines ended by an empty line, written to FILE (replaced whole
// before the button is pressed); in values "\" is written "\\", CR "\r" and
// LF "\n":
//   caption, text, buttons (e.g. "yes,no"), default (or "none"),
//   icon (question, error, warning, information, none or unknown),
//   owner (class of the owner window, empty if unowned), pid, pressed.
// Exit codes: 0 every box answered; 1 bad command line; 2 a box did not
// appear in time; 3 the record could not be written or the button is not
// on the box (which is then left open).
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace {

const std::pair<int, const wchar_t*> kButtons[] = {{IDOK, L"ok"}, {IDCANCEL, L"cancel"}, {IDYES, L"yes"}, {IDNO, L"no"}};
constexpr int kPressDefault = -1;
constexpr int kPressNone = -2;

std::wstring ButtonText(int id)
{
    for (const auto& b : kButtons) {
        if (b.first == id) {
            return b.second;
        }
    }
    return id == kPressNone ? L"none" : std::to_wstring(id);
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

struct Search {
    const std::wstring* caption; // null: any
    const std::set<HWND>* answered;
    HWND found;
};

BOOL CALLBACK ConsiderWindow(HWND hwnd, LPARAM param)
{
    Search& s = *reinterpret_cast<Search*>(param);
    if (::IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770" && s.answered->count(hwnd) == 0 &&
        (s.caption == nullptr || TextOf(hwnd) == *s.caption)) {
        s.found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// The screen, or an icon drawn over a plain background, as 0x00RRGGBB pixels.
std::vector<DWORD> Pixels(const RECT& area, HICON icon, DWORD background)
{
    const int width = area.right - area.left, height = area.bottom - area.top;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC screen = ::GetDC(nullptr);
    HDC dc = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(dc, bitmap);
    HBRUSH brush = ::CreateSolidBrush(RGB(background >> 16, (background >> 8) & 0xFF, background & 0xFF));
    RECT all{0, 0, width, height};
    const bool drawn = bitmap != nullptr &&
                       (icon == nullptr ? ::BitBlt(dc, 0, 0, width, height, screen, area.left, area.top, SRCCOPY)
                                        : ::FillRect(dc, &all, brush) &&
                                              ::DrawIconEx(dc, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL));
    ::GdiFlush();
    std::vector<DWORD> pixels;
    if (drawn) {
        pixels.assign(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + width * height);
    }
    ::DeleteObject(brush);
    ::SelectObject(dc, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(dc);
    ::ReleaseDC(nullptr, screen);
    return pixels;
}

// Icon handles cannot be read across processes, so the icon is recognised by
// what it draws: the control's pixels on the screen against each system icon
// drawn here over the same background (the control's corner).
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
    RECT area{};
    ::GetClientRect(control, &area);
    ::MapWindowPoints(control, HWND_DESKTOP, reinterpret_cast<POINT*>(&area), 2);
    const std::pair<const wchar_t*, const wchar_t*> known[] = {
        {IDI_QUESTION, L"question"}, {IDI_ERROR, L"error"}, {IDI_WARNING, L"warning"}, {IDI_INFORMATION, L"information"}};
    // The box may still be painting or lie under another window: look again,
    // and bring it to the top half-way through.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (attempt == 5) {
            ::SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
        ::Sleep(100);
        const std::vector<DWORD> shown = Pixels(area, nullptr, 0);
        for (const auto& k : known) {
            const std::vector<DWORD> drawn = Pixels(area, ::LoadIconW(nullptr, k.first), shown.empty() ? 0 : shown[0]);
            size_t differing = 0;
            for (size_t i = 0; i < shown.size() && drawn.size() == shown.size(); ++i) {
                for (int shift = 0; shift < 24; shift += 8) {
                    if (std::abs(int((shown[i] >> shift) & 0xFF) - int((drawn[i] >> shift) & 0xFF)) > 24) {
                        ++differing;
                        break;
                    }
                }
            }
            // Edge blending differs a little; the question and information
            // icons differ in about 7% of their pixels, so stay well below.
            if (!shown.empty() && drawn.size() == shown.size() && differing * 50 <= shown.size()) {
                return k.second;
            }
        }
    }
    return L"unknown";
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

std::wstring Describe(HWND box, int pressed)
{
    std::wstring buttons;
    for (const auto& b : kButtons) {
        HWND button = ::GetDlgItem(box, b.first);
        if (button != nullptr && ::IsWindowVisible(button) && ClassOf(button) == L"Button") {
            buttons += (buttons.empty() ? L"" : L",") + std::wstring(b.second);
        }
    }
    wchar_t message[4096] = {};
    ::GetDlgItemTextW(box, 0xFFFF, message, 4096);
    const int defaultId = DefaultButtonOf(box);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(box, &pid);
    return L"caption=" + Escape(TextOf(box)) + L"\ntext=" + Escape(message) + L"\nbuttons=" + buttons +
           L"\ndefault=" + (defaultId == 0 ? L"none" : ButtonText(defaultId)) + L"\nicon=" + IconOf(box) +
           L"\nowner=" + Escape(ClassOf(::GetWindow(box, GW_OWNER))) + L"\npid=" + std::to_wstring(pid) +
           L"\npressed=" + ButtonText(pressed) + L"\n\n";
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int press = kPressDefault;
    std::wstring caption, outFile;
    bool hasCaption = false;
    unsigned long timeoutMs = 10000, count = 1;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i], value = arg.substr(std::min(arg.size(), arg.find(L':') + 1));
        const bool number = !value.empty() && value.find_first_not_of(L"0123456789") == std::wstring::npos;
        if (StartsWithNoCase(arg, L"/press:")) {
            press = EqualsNoCase(value, L"default") ? kPressDefault : EqualsNoCase(value, L"none") ? kPressNone : 0;
            for (const auto& b : kButtons) {
                press = EqualsNoCase(value, b.second) ? b.first : press;
            }
        } else if (StartsWithNoCase(arg, L"/caption:")) {
            hasCaption = true;
            caption = value;
        } else if (StartsWithNoCase(arg, L"/out:")) {
            outFile = value;
        } else if (number && StartsWithNoCase(arg, L"/timeout:")) {
            timeoutMs = std::wcstoul(value.c_str(), nullptr, 10);
        } else if (number && StartsWithNoCase(arg, L"/count:")) {
            count = std::wcstoul(value.c_str(), nullptr, 10);
        } else {
            press = 0;
        }
        if (press == 0 || count == 0) {
            return 1;
        }
    }
    std::set<HWND> answered;
    std::wstring records, error;
    for (unsigned long n = 0; n < count; ++n) {
        Search search{hasCaption ? &caption : nullptr, &answered, nullptr};
        for (const ULONGLONG deadline = ::GetTickCount64() + timeoutMs; search.found == nullptr; ::Sleep(50)) {
            ::EnumWindows(&ConsiderWindow, reinterpret_cast<LPARAM>(&search));
            if (search.found == nullptr && ::GetTickCount64() >= deadline) {
                return 2;
            }
        }
        HWND box = search.found;
        answered.insert(box);
        const int pressed = press == kPressDefault ? DefaultButtonOf(box) : press;
        records += Describe(box, pressed);
        if (!outFile.empty() && !WriteFileAtomic(outFile, records, error)) {
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
    }
    return 0;
}
