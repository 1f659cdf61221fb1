// BoxAnswerer: finds a message box on the desktop, records what it shows and
// presses one of its buttons, so tests can drive programs that ask questions.
//
// Usage:
//   BoxAnswerer.exe [/press:BUTTON] [/pid:N] [/caption:TEXT] [/timeout:MS]
//                   [/count:N] [/out:FILE]
//
//   /press:BUTTON  the button to press: yes, no, ok, cancel, abort, retry,
//                  ignore, close, help, tryagain, continue, a decimal control
//                  id, "default" (the box's default button; the default),
//                  "enter" (the Enter key, sent to the box's focused control
//                  the way a keyboard would) or "none" (record only, leave
//                  the box open).
//   /pid:N         only boxes that belong to process N.
//   /caption:TEXT  only boxes whose caption is exactly TEXT.
//   /timeout:MS    how long to look for each box, polling every 50 ms
//                  (default 10000).
//   /count:N       answer N boxes one after the other (default 1); a box
//                  already answered is never counted twice.
//   /out:FILE      also write the records to FILE (UTF-8; replaced whole
//                  after each box, before its button is pressed, so the file
//                  is complete once the box is gone).
//
// A box is a visible top-level window of class "#32770". Each record is a
// block of key=value lines ended by an empty line; in values a backslash is
// written "\\", a carriage return "\r" and a line feed "\n":
//   caption=...            the box's title
//   text=...               the message (the static control with id 0xFFFF)
//   buttons=yes,no         the visible command buttons, in control-id order
//   default=no             the button drawn as the default (the one Enter
//                          presses), or "none"
//   icon=question          question, error, warning, information, none or
//                          unknown (an icon that is none of the system ones);
//                          recognised from the screen, so a box hidden behind
//                          another always-on-top window is raised to the top

//   owner=CLASS            class name of the owner window, empty if unowned
//   pid=N                  process the box belongs to
//   pressed=yes            the button pressed, "enter" or "none"
// The records also go to standard output.
//
// Exit codes: 0 every box was found and answered; 1 bad command line;
// 2 a box was not found in time (the records of earlier boxes are kept);
// 3 the record could not be written, or the button to press is not on the
// box (the box is then left open) or could not be pressed.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/PathText.h"

namespace {

struct ButtonName {
    int id;
    const wchar_t* name;
};

const ButtonName kButtons[] = {
    {IDOK, L"ok"},
    {IDCANCEL, L"cancel"},
    {IDABORT, L"abort"},
    {IDRETRY, L"retry"},
    {IDIGNORE, L"ignore"},
    {IDYES, L"yes"},
    {IDNO, L"no"},
    {IDCLOSE, L"close"},
    {IDHELP, L"help"},
    {IDTRYAGAIN, L"tryagain"},
    {IDCONTINUE, L"continue"},
};

constexpr int kPressDefault = -1;
constexpr int kPressNone = -2;
constexpr int kPressEnter = -3;

struct Options {
    int press = kPressDefault;
    DWORD pid = 0;
    bool hasCaption = false;
    std::wstring caption;
    DWORD timeoutMs = 10000;
    unsigned count = 1;
    std::wstring outFile;
};

std::wstring ButtonText(int id)
{
    for (const ButtonName& b : kButtons) {
        if (b.id == id) {
            return b.name;
        }
    }
    return std::to_wstring(id);
}

bool ParseNumber(const std::wstring& text, unsigned long& value)
{
    if (text.empty() || text.size() > 9) {
        return false;
    }
    value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long>(c - L'0');
    }
    return true;
}

bool ParsePress(const std::wstring& text, int& press)
{
    if (EqualsNoCase(text, L"default")) {
        press = kPressDefault;
        return true;
    }
    if (EqualsNoCase(text, L"none")) {
        press = kPressNone;
        return true;
    }
    if (EqualsNoCase(text, L"enter")) {
        press = kPressEnter;
        return true;
    }
    for (const ButtonName& b : kButtons) {
        if (EqualsNoCase(text, b.name)) {
            press = b.id;
            return true;
        }
    }
    unsigned long id = 0;
    if (ParseNumber(text, id) && id > 0 && id <= 0xFFFF) {
        press = static_cast<int>(id);
        return true;
    }
    return false;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const size_t colon = arg.find(L':');
        const std::wstring name = arg.substr(0, colon == std::wstring::npos ? arg.size() : colon + 1);
        const std::wstring value = colon == std::wstring::npos ? std::wstring() : arg.substr(colon + 1);
        unsigned long number = 0;
        if (EqualsNoCase(name, L"/press:")) {
            if (!ParsePress(value, options.press)) {
                return false;
            }
        } else if (EqualsNoCase(name, L"/pid:")) {
            if (!ParseNumber(value, number)) {
                return false;
            }
            options.pid = number;
        } else if (EqualsNoCase(name, L"/caption:")) {
            options.hasCaption = true;
            options.caption = value;
        } else if (EqualsNoCase(name, L"/timeout:")) {
            if (!ParseNumber(value, number)) {
                return false;
            }
            options.timeoutMs = number;
        } else if (EqualsNoCase(name, L"/count:")) {
            if (!ParseNumber(value, number) || number == 0) {
                return false;
            }
            options.count = number;
        } else if (EqualsNoCase(name, L"/out:")) {
            if (value.empty()) {
                return false;
            }
            options.outFile = value;
        } else {
            return false;
        }
    }
    return true;
}

std::wstring ClassOf(HWND hwnd)
{
    wchar_t name[256] = {};
    if (hwnd == nullptr || ::GetClassNameW(hwnd, name, 256) == 0) {
        return std::wstring();
    }
    return name;
}

std::wstring TextOf(HWND hwnd)
{
    const int length = ::GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    const int copied = ::GetWindowTextW(hwnd, &text[0], static_cast<int>(text.size()));
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

struct Search {
    const Options* options;
    const std::set<HWND>* answered;
    HWND found;
};

BOOL CALLBACK ConsiderWindow(HWND hwnd, LPARAM param)
{
    Search& search = *reinterpret_cast<Search*>(param);
    if (!::IsWindowVisible(hwnd) || ClassOf(hwnd) != L"#32770" || search.answered->count(hwnd) != 0) {
        return TRUE;
    }
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    if (search.options->pid != 0 && pid != search.options->pid) {
        return TRUE;
    }
    if (search.options->hasCaption && TextOf(hwnd) != search.options->caption) {
        return TRUE;
    }
    search.found = hwnd;
    return FALSE;
}

HWND WaitForBox(const Options& options, const std::set<HWND>& answered)
{
    const ULONGLONG deadline = ::GetTickCount64() + options.timeoutMs;
    for (;;) {
        Search search{&options, &answered, nullptr};
        ::EnumWindows(&ConsiderWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            return search.found;
        }
        if (::GetTickCount64() >= deadline) {
            return nullptr;
        }
        ::Sleep(50);
    }
}

// A memory bitmap of 32-bit pixels (0x00RRGGBB, top row first).
class PixelCanvas {
public:
    PixelCanvas(int width, int height) : width_(width), height_(height)
    {
        HDC screen = ::GetDC(nullptr);
        dc_ = ::CreateCompatibleDC(screen);
        ::ReleaseDC(nullptr, screen);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        bitmap_ = ::CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
        if (bitmap_ != nullptr) {
            old_ = ::SelectObject(dc_, bitmap_);
        }
    }
    ~PixelCanvas()
    {
        if (bitmap_ != nullptr) {
            ::SelectObject(dc_, old_);
            ::DeleteObject(bitmap_);
        }
        ::DeleteDC(dc_);
    }
    PixelCanvas(const PixelCanvas&) = delete;
    PixelCanvas& operator=(const PixelCanvas&) = delete;

    bool Valid() const { return bitmap_ != nullptr && bits_ != nullptr; }
    HDC Dc() const { return dc_; }
    std::vector<DWORD> Pixels() const
    {
        ::GdiFlush();
        const DWORD* first = static_cast<const DWORD*>(bits_);
        return std::vector<DWORD>(first, first + static_cast<size_t>(width_) * static_cast<size_t>(height_));
    }

private:
    int width_;
    int height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    void* bits_ = nullptr;
};

// What the screen shows in an area.
std::vector<DWORD> ScreenPixels(const RECT& area)
{
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    PixelCanvas canvas(width, height);
    if (!canvas.Valid()) {
        return {};
    }
    HDC screen = ::GetDC(nullptr);
    const BOOL copied = ::BitBlt(canvas.Dc(), 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    ::ReleaseDC(nullptr, screen);
    return copied ? canvas.Pixels() : std::vector<DWORD>();
}

// How an icon looks drawn at a size over a plain background.
std::vector<DWORD> RenderedIcon(HICON icon, int width, int height, DWORD background)
{
    PixelCanvas canvas(width, height);
    if (!canvas.Valid()) {
        return {};
    }
    const COLORREF colour = RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF);
    HBRUSH brush = ::CreateSolidBrush(colour);
    RECT all{0, 0, width, height};
    ::FillRect(canvas.Dc(), &all, brush);
    ::DeleteObject(brush);
    if (!::DrawIconEx(canvas.Dc(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL)) {
        return {};
    }
    return canvas.Pixels();
}

// Number of pixels that differ noticeably in any colour channel.
size_t DifferingPixels(const std::vector<DWORD>& a, const std::vector<DWORD>& b)
{
    size_t differing = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        for (int shift = 0; shift < 24; shift += 8) {
            const int ca = static_cast<int>((a[i] >> shift) & 0xFF);
            const int cb = static_cast<int>((b[i] >> shift) & 0xFF);
            if (ca - cb > 24 || cb - ca > 24) {
                ++differing;
                break;
            }
        }
    }
    return differing;
}

BOOL CALLBACK FindIconControl(HWND child, LPARAM param)
{
    const LONG style = ::GetWindowLongW(child, GWL_STYLE);
    if (ClassOf(child) == L"Static" && (style & SS_TYPEMASK) == SS_ICON && ::IsWindowVisible(child)) {
        *reinterpret_cast<HWND*>(param) = child;
        return FALSE;
    }
    return TRUE;
}

// Which system icon the box shows. Icon handles cannot be read across
// processes on every system, so the icon is recognised by what it draws:
// the control's pixels on the screen against each system icon drawn here
// over the same background.
std::wstring IconOf(HWND box)
{
    HWND control = nullptr;
    ::EnumChildWindows(box, &FindIconControl, reinterpret_cast<LPARAM>(&control));
    if (control == nullptr || ::SendMessageW(control, STM_GETICON, 0, 0) == 0) {
        return L"none";
    }
    RECT area{};
    ::GetClientRect(control, &area);
    ::MapWindowPoints(control, HWND_DESKTOP, reinterpret_cast<POINT*>(&area), 2);
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    if (width <= 0 || height <= 0) {
        return L"unknown";
    }
    struct Known {
        const wchar_t* resource;
        const wchar_t* name;
    };
    const Known known[] = {
        {IDI_QUESTION, L"question"},
        {IDI_ERROR, L"error"},
        {IDI_WARNING, L"warning"},
        {IDI_INFORMATION, L"information"},
    };
    // The box may still be painting, or be covered by another window:
    // look a few times, and bring it to the top half-way through.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (attempt == 5) {
            ::SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
        ::Sleep(100);
        const std::vector<DWORD> shown = ScreenPixels(area);
        if (shown.empty()) {
            continue;
        }
        // Icons leave their corners transparent: the corner is the background.
        const DWORD background = shown.front();
        const Known* best = nullptr;
        size_t bestDifference = shown.size();
        for (const Known& k : known) {
            const std::vector<DWORD> drawn = RenderedIcon(::LoadIconW(nullptr, k.resource), width, height, background);
            if (drawn.size() != shown.size()) {
                continue;
            }
            const size_t difference = DifferingPixels(shown, drawn);
            if (difference < bestDifference) {
                bestDifference = difference;
                best = &k;
            }
        }
        // A close match, allowing for small differences in edge blending
        // (the question and information icons differ in about 7% of their
        // pixels, so the margin must stay well below that).
        if (best != nullptr && bestDifference * 50 <= shown.size()) {
            return best->name;
        }
    }
    return L"unknown";
}

BOOL CALLBACK FindDefaultButton(HWND child, LPARAM param)
{
    const LONG style = ::GetWindowLongW(child, GWL_STYLE);
    if (ClassOf(child) == L"Button" && (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON && ::IsWindowVisible(child)) {
        *reinterpret_cast<int*>(param) = ::GetDlgCtrlID(child);
        return FALSE;
    }
    return TRUE;
}

// The button drawn as the default (the one Enter presses). Some systems
// answer DM_GETDEFID with IDOK for every box, so the button's own style is
// asked first and DM_GETDEFID only counts when it names a real button.
int DefaultButtonOf(HWND box)
{
    int id = 0;
    ::EnumChildWindows(box, &FindDefaultButton, reinterpret_cast<LPARAM>(&id));
    if (id != 0) {
        return id;
    }
    const LRESULT answer = ::SendMessageW(box, DM_GETDEFID, 0, 0);
    if (HIWORD(answer) == DC_HASDEFID) {
        HWND button = ::GetDlgItem(box, LOWORD(answer));
        if (button != nullptr && ::IsWindowVisible(button) && ClassOf(button) == L"Button") {
            return LOWORD(answer);
        }
    }
    return 0;
}

std::wstring Escape(const std::wstring& value)
{
    std::wstring out;
    for (wchar_t c : value) {
        if (c == L'\\') {
            out += L"\\\\";
        } else if (c == L'\r') {
            out += L"\\r";
        } else if (c == L'\n') {
            out += L"\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::wstring PressedText(int pressed)
{
    if (pressed == kPressNone) {
        return L"none";
    }
    if (pressed == kPressEnter) {
        return L"enter";
    }
    return ButtonText(pressed);
}

// Enter goes to whatever has the keyboard focus inside the box; the box's
// own message loop turns it into the default button's command.
bool PressEnter(HWND box)
{
    GUITHREADINFO gui{};
    gui.cbSize = sizeof(gui);
    HWND target = box;
    if (::GetGUIThreadInfo(::GetWindowThreadProcessId(box, nullptr), &gui) && gui.hwndFocus != nullptr &&
        (gui.hwndFocus == box || ::IsChild(box, gui.hwndFocus))) {
        target = gui.hwndFocus;
    }
    return ::PostMessageW(target, WM_KEYDOWN, VK_RETURN, 0x001C0001) &&
           ::PostMessageW(target, WM_KEYUP, VK_RETURN, static_cast<LPARAM>(0xC01C0001u));
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

    std::wstring record;
    record += L"caption=" + Escape(TextOf(box)) + L"\n";
    record += L"text=" + Escape(message) + L"\n";
    record += L"buttons=" + buttons + L"\n";
    record += L"default=" + (defaultId == 0 ? std::wstring(L"none") : ButtonText(defaultId)) + L"\n";
    record += L"icon=" + IconOf(box) + L"\n";
    record += L"owner=" + Escape(ClassOf(::GetWindow(box, GW_OWNER))) + L"\n";
    record += L"pid=" + std::to_wstring(pid) + L"\n";
    record += L"pressed=" + PressedText(pressed) + L"\n";
    record += L"\n";
    return record;
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
    for (unsigned n = 0; n < options.count; ++n) {
        HWND box = WaitForBox(options, answered);
        if (box == nullptr) {
            std::fwprintf(stderr, L"BoxAnswerer: no message box within %lu ms\n",
                          static_cast<unsigned long>(options.timeoutMs));
            return 2;
        }
        answered.insert(box);
        const int press = options.press == kPressDefault ? DefaultButtonOf(box) : options.press;
        const std::wstring record = Describe(box, press);
        records += record;
        const std::string utf8 = WideToUtf8(record);
        std::fwrite(utf8.data(), 1, utf8.size(), stdout);
        std::fflush(stdout);
        if (!options.outFile.empty()) {
            // Replaced whole, so a reader never sees half a record.
            std::wstring error;
            if (!WriteFileAtomic(options.outFile, records, error)) {
                std::fwprintf(stderr, L"BoxAnswerer: cannot write %ls: %ls\n", options.outFile.c_str(),
                              error.c_str());
                return 3;
            }
        }
        if (press == kPressNone) {
            continue;
        }
        if (press == kPressEnter) {
            if (!PressEnter(box)) {
                std::fwprintf(stderr, L"BoxAnswerer: cannot send Enter\n");
                return 3;
            }
            continue;
        }
        if (press <= 0) {
            std::fwprintf(stderr, L"BoxAnswerer: the box has no default button to press\n");
            return 3;
        }
        // A box answers any command id it is sent, even one it has no button
        // for; refuse rather than hand the program an answer it never offered.
        HWND button = ::GetDlgItem(box, press);
        if (button == nullptr || !::IsWindowVisible(button)) {
            std::fwprintf(stderr, L"BoxAnswerer: the box has no %ls button\n", ButtonText(press).c_str());
            return 3;
        }
        if (!::PostMessageW(box, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED), reinterpret_cast<LPARAM>(button))) {
            std::fwprintf(stderr, L"BoxAnswerer: cannot press button %d\n", press);
            return 3;
        }
    }
    return 0;
}
