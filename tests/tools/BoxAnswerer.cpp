// BoxAnswerer: finds a message box, records what it shows and presses one of
// its buttons, so tests can drive programs that ask questions.
//
//   BoxAnswerer.exe [/press:yes|no|ok|cancel|default|none] [/pid:N]
//                   [/caption:TEXT] [/timeout:MS] [/count:N] [/out:FILE]
//
// A box is a visible top-level window of class "#32770" (of process N and
// with caption TEXT when given). Each is looked for up to MS milliseconds
// (default 10000); N boxes (default 1) are answered one after the other.
// "default" presses the box's default button, "none" leaves it open. Each
// record is a block of key=value lines ended by an empty line, written to
// standard output and to FILE (replaced whole before the button is pressed);
// in values "\" is written "\\", CR "\r" and LF "\n":
//   caption, text, buttons (e.g. "yes,no"), default (or "none"),
//   icon (question, error, warning, information, none or unknown),
//   owner (class of the owner window, empty if unowned), pid, pressed.
// Exit codes: 0 every box answered; 1 bad command line; 2 a box did not
// appear in time; 3 the record could not be written or the button is not
// on the box (which is then left open).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace {

struct ButtonName {
    int id;
    const wchar_t* name;
};
const ButtonName kButtons[] = {{IDOK, L"ok"}, {IDCANCEL, L"cancel"}, {IDYES, L"yes"}, {IDNO, L"no"}};
constexpr int kPressDefault = -1;
constexpr int kPressNone = -2;

struct Options {
    int press = kPressDefault;
    DWORD pid = 0;
    bool hasCaption = false;
    std::wstring caption;
    DWORD timeoutMs = 10000;
    unsigned long count = 1;
    std::wstring outFile;
};

std::wstring ButtonText(int id)
{
    for (const ButtonName& b : kButtons) {
        if (b.id == id) {
            return b.name;
        }
    }
    return id == kPressNone ? L"none" : std::to_wstring(id);
}

bool ParsePress(const std::wstring& text, int& press)
{
    press = EqualsNoCase(text, L"default") ? kPressDefault : EqualsNoCase(text, L"none") ? kPressNone : 0;
    for (const ButtonName& b : kButtons) {
        press = EqualsNoCase(text, b.name) ? b.id : press;
    }
    return press != 0;
}

bool ParseNumber(const std::wstring& text, unsigned long& value)
{
    wchar_t* end = nullptr;
    value = std::wcstoul(text.c_str(), &end, 10);
    return !text.empty() && *end == 0;
}

bool ParseOptions(int argc, wchar_t** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const size_t colon = arg.find(L':');
        const std::wstring name = arg.substr(0, colon), value = colon == std::wstring::npos ? L"" : arg.substr(colon + 1);
        unsigned long number = 0;
        bool ok = colon != std::wstring::npos;
        if (EqualsNoCase(name, L"/press")) {
            ok = ok && ParsePress(value, o.press);
        } else if (EqualsNoCase(name, L"/caption")) {
            o.hasCaption = true;
            o.caption = value;
        } else if (EqualsNoCase(name, L"/out")) {
            o.outFile = value;
        } else if (ok && ParseNumber(value, number) && EqualsNoCase(name, L"/pid")) {
            o.pid = number;
        } else if (ok && ParseNumber(value, number) && EqualsNoCase(name, L"/timeout")) {
            o.timeoutMs = number;
        } else if (ok && ParseNumber(value, number) && number > 0 && EqualsNoCase(name, L"/count")) {
            o.count = number;
        } else {
            ok = false;
        }
        if (!ok) {
            return false;
        }
    }
    return true;
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

HWND WaitForBox(const Options& o, const std::set<HWND>& answered)
{
    struct Search {
        const Options* o;
        const std::set<HWND>* answered;
        HWND found;
    };
    const WNDENUMPROC consider = [](HWND hwnd, LPARAM param) -> BOOL {
        Search& s = *reinterpret_cast<Search*>(param);
        DWORD pid = 0;
        ::GetWindowThreadProcessId(hwnd, &pid);
        if (::IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770" && s.answered->count(hwnd) == 0 &&
            (s.o->pid == 0 || pid == s.o->pid) && (!s.o->hasCaption || TextOf(hwnd) == s.o->caption)) {
            s.found = hwnd;
            return FALSE;
        }
        return TRUE;
    };
    for (const ULONGLONG deadline = ::GetTickCount64() + o.timeoutMs;; ::Sleep(50)) {
        Search search{&o, &answered, nullptr};
        ::EnumWindows(consider, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr || ::GetTickCount64() >= deadline) {
            return search.found;
        }
    }
}

// The screen or an icon drawn over a plain background, as 0x00RRGGBB pixels.
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
    std::vector<DWORD> pixels;
    if (bitmap != nullptr) {
        HGDIOBJ old = ::SelectObject(dc, bitmap);
        bool drawn = false;
        if (icon == nullptr) {
            drawn = ::BitBlt(dc, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
        } else {
            HBRUSH brush = ::CreateSolidBrush(RGB(background >> 16, (background >> 8) & 0xFF, background & 0xFF));
            RECT all{0, 0, width, height};
            ::FillRect(dc, &all, brush);
            ::DeleteObject(brush);
            drawn = ::DrawIconEx(dc, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
        }
        ::GdiFlush();
        if (drawn) {
            pixels.assign(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + width * height);
        }
        ::SelectObject(dc, old);
        ::DeleteObject(bitmap);
    }
    ::DeleteDC(dc);
    ::ReleaseDC(nullptr, screen);
    return pixels;
}

// Icon handles cannot be read across processes, so the icon is recognised
// by what it draws: the control's pixels on the screen against each system
// icon drawn here over the same background (the control's corner).
std::wstring IconOf(HWND box)
{
    HWND control = nullptr;
    for (HWND child = ::GetWindow(box, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        if ((::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && ClassOf(child) == L"Static" &&
            ::IsWindowVisible(child) && ::SendMessageW(child, STM_GETICON, 0, 0) != 0) {
            control = child;
        }
    }
    if (control == nullptr) {
        return L"none";
    }
    RECT area{};
    ::GetClientRect(control, &area);
    ::MapWindowPoints(control, HWND_DESKTOP, reinterpret_cast<POINT*>(&area), 2);
    const struct {
        const wchar_t* resource;
        const wchar_t* name;
    } known[] = {{IDI_QUESTION, L"question"}, {IDI_ERROR, L"error"}, {IDI_WARNING, L"warning"},
                 {IDI_INFORMATION, L"information"}};
    // The box may still be painting or lie under another window: look again,
    // and bring it to the top half-way through.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (attempt == 5) {
            ::SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
        ::Sleep(100);
        const std::vector<DWORD> shown = Pixels(area, nullptr, 0);
        for (const auto& k : known) {
            const std::vector<DWORD> drawn = Pixels(area, ::LoadIconW(nullptr, k.resource), shown.empty() ? 0 : shown[0]);
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
                return k.name;
            }
        }
    }
    return L"unknown";
}

// The button drawn as the default (the one Enter presses).
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
    for (const ButtonName& b : kButtons) {
        HWND button = ::GetDlgItem(box, b.id);
        if (button != nullptr && ::IsWindowVisible(button) && ClassOf(button) == L"Button") {
            buttons += (buttons.empty() ? L"" : L",") + std::wstring(b.name);
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

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fwprintf(stderr, L"usage: BoxAnswerer [/press:BUTTON] [/pid:N] [/caption:TEXT] [/timeout:MS] "
                              L"[/count:N] [/out:FILE]\n");
        return 1;
    }
    std::set<HWND> answered;
    std::wstring records;
    for (unsigned long n = 0; n < options.count; ++n) {
        HWND box = WaitForBox(options, answered);
        if (box == nullptr) {
            std::fwprintf(stderr, L"BoxAnswerer: no message box within %lu ms\n", options.timeoutMs);
            return 2;
        }
        answered.insert(box);
        const int press = options.press == kPressDefault ? DefaultButtonOf(box) : options.press;
        const std::wstring record = Describe(box, press);
        records += record;
        const std::string utf8 = WideToUtf8(record);
        std::fwrite(utf8.data(), 1, utf8.size(), stdout);
        std::fflush(stdout);
        std::wstring error;
        if (!options.outFile.empty() && !WriteFileAtomic(options.outFile, records, error)) {
            std::fwprintf(stderr, L"BoxAnswerer: cannot write %ls: %ls\n", options.outFile.c_str(), error.c_str());
            return 3;
        }
        if (press == kPressNone) {
            continue;
        }
        // A box answers any command id it is sent, even one it has no button
        // for; refuse rather than hand the program an answer it never offered.
        HWND button = press > 0 ? ::GetDlgItem(box, press) : nullptr;
        if (button == nullptr || !::IsWindowVisible(button) ||
            !::PostMessageW(box, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED), reinterpret_cast<LPARAM>(button))) {
            std::fwprintf(stderr, L"BoxAnswerer: cannot press %ls on the box\n", ButtonText(press).c_str());
            return 3;
        }
    }
    return 0;
}
