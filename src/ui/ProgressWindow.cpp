#include "ui/ProgressWindow.h"

#include <commctrl.h>

namespace orv {

namespace {

constexpr wchar_t kTitle[] = L"OrvUpdaterW7";

constexpr int kWindowWidth = 650;
constexpr int kWindowHeight = 285;
constexpr int kControlLeft = 24;
constexpr int kControlWidth = 590;

// The message font comes from the Windows Vista and later layout of the
// structure (with the padded-border field); Windows 7 is our oldest system.
static_assert(sizeof(NONCLIENTMETRICSW) == 504, "NONCLIENTMETRICSW must have its Windows 7 size");

}  // namespace

const wchar_t ProgressWindow::kWindowClass[] = L"OrvUpdaterW7NativeWindow";

ProgressWindow::ProgressWindow(bool silentRun) : silent(silentRun) {}

ProgressWindow::~ProgressWindow()
{
    // The controls must be gone before their font is deleted.
    Close();
}

LRESULT CALLBACK ProgressWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
    ProgressWindow* self = reinterpret_cast<ProgressWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (message) {
    case WM_CLOSE:
        // The user's close is a request: the run notices it at its next
        // package, so the work under way is never cut off half-way.
        if (self != nullptr) {
            self->closeRequested = true;
        }
        ::DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        // No quit message: the run has no message loop to end, it keeps
        // working and finishes without a window.
        if (self != nullptr && self->window == hwnd) {
            self->window = nullptr;
        }
        return 0;
    default:
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

HWND ProgressWindow::CreateChild(const wchar_t* className, const wchar_t* text, DWORD style, int y, int height)
{
    return ::CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, kControlLeft, y, kControlWidth, height,
                             window, nullptr, ::GetModuleHandleW(nullptr), nullptr);
}

bool ProgressWindow::Create()
{
    if (silent) {
        return true;
    }
    if (window != nullptr) {
        return true;
    }
    INITCOMMONCONTROLSEX commonControls{};
    commonControls.dwSize = sizeof(commonControls);
    commonControls.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;
    ::InitCommonControlsEx(&commonControls);

    const HINSTANCE module = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = 0;
    windowClass.lpfnWndProc = &ProgressWindow::WindowProc;
    windowClass.hInstance = module;
    windowClass.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hIconSm = ::LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = kWindowClass;
    // Registering again (a second window in one process) fails harmlessly:
    // the class is already there with the same procedure.
    ::RegisterClassExW(&windowClass);

    window = ::CreateWindowExW(WS_EX_DLGMODALFRAME, kWindowClass, kTitle, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                               CW_USEDEFAULT, CW_USEDEFAULT, kWindowWidth, kWindowHeight, nullptr, nullptr, module,
                               this);
    if (window == nullptr) {
        return false;
    }

    controls.statusText = CreateChild(L"STATIC", L"Starting updater...", 0, 25, 28);
    controls.detailText = CreateChild(L"STATIC", L"", SS_ENDELLIPSIS, 60, 36);
    controls.downloadText = CreateChild(L"STATIC", L"Waiting for download...", 0, 105, 22);
    controls.downloadBar = CreateChild(PROGRESS_CLASSW, L"", PBS_SMOOTH, 130, 20);
    controls.overallBar = CreateChild(PROGRESS_CLASSW, L"", PBS_SMOOTH, 185, 22);
    ::SendMessageW(controls.downloadBar, PBM_SETRANGE32, 0, kProgressBarMax);
    ::SendMessageW(controls.overallBar, PBM_SETRANGE32, 0, kProgressBarMax);

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    HFONT font = nullptr;
    if (::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        font_.Reset(::CreateFontIndirectW(&metrics.lfMessageFont));
        font = static_cast<HFONT>(font_.Get());
    }
    if (font == nullptr) {
        // Stock objects belong to the system and are never deleted.
        font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    }
    for (HWND text : {controls.statusText, controls.detailText, controls.downloadText}) {
        ::SendMessageW(text, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }

    RECT bounds{};
    ::GetWindowRect(window, &bounds);
    const int width = bounds.right - bounds.left;
    const int height = bounds.bottom - bounds.top;
    const int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    ::SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);

    ::ShowWindow(window, SW_SHOWNORMAL);
    ::UpdateWindow(window);
    PumpMessages();
    return true;
}

void ProgressWindow::Close()
{
    if (silent) {
        return;
    }
    if (window != nullptr) {
        ::DestroyWindow(window);
    }
    window = nullptr;
    controls = Controls{};
}

void ProgressWindow::PumpMessages()
{
    if (backgroundWork && !inBackgroundWork) {
        inBackgroundWork = true;
        backgroundWork();
        inBackgroundWork = false;
    }
    if (silent) {
        return;
    }
    MSG message{};
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            closeRequested = true;
            continue;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void ProgressWindow::SetStatus(const std::wstring& text)
{
    if (silent || controls.statusText == nullptr) {
        return;
    }
    ::SetWindowTextW(controls.statusText, text.c_str());
    PumpMessages();
}

void ProgressWindow::SetDetail(const std::wstring& text)
{
    if (silent || controls.detailText == nullptr) {
        return;
    }
    ::SetWindowTextW(controls.detailText, text.c_str());
    PumpMessages();
}

void ProgressWindow::SetOverallProgress(int32_t done, int32_t total)
{
    if (silent || controls.overallBar == nullptr) {
        return;
    }
    ::SendMessageW(controls.overallBar, PBM_SETPOS, static_cast<WPARAM>(OverallPosition(done, total)), 0);
    PumpMessages();
}

void ProgressWindow::BeginDownload()
{
    if (silent || controls.downloadBar == nullptr) {
        return;
    }
    ::SetWindowTextW(controls.downloadText, L"Connecting to server...");
    ::SendMessageW(controls.downloadBar, PBM_SETPOS, 0, 0);
    PumpMessages();
}

void ProgressWindow::SetDownloadProgress(uint32_t received, uint32_t total)
{
    if (silent || controls.downloadBar == nullptr) {
        return;
    }
    const int position = total == 0 ? SweepPosition(::GetTickCount()) : DownloadPosition(received, total);
    ::SetWindowTextW(controls.downloadText, DownloadLineText(received, total).c_str());
    ::SendMessageW(controls.downloadBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    PumpMessages();
}

void ProgressWindow::EndDownload(bool succeeded)
{
    if (silent || controls.downloadBar == nullptr) {
        return;
    }
    if (succeeded) {
        ::SetWindowTextW(controls.downloadText, L"Download completed.");
        ::SendMessageW(controls.downloadBar, PBM_SETPOS, kProgressBarMax, 0);
    } else {
        ::SetWindowTextW(controls.downloadText, L"Download attempt failed; trying next method...");
        ::SendMessageW(controls.downloadBar, PBM_SETPOS, 0, 0);
    }
    PumpMessages();
}

int ProgressWindow::AskYesNo(const std::wstring& text, const std::wstring& caption, unsigned char defaultButtonCode)
{
    if (silent) {
        return IDNO;
    }
    // A box that could not be shown at all is not a yes.
    const int answer = ::MessageBoxW(window, text.c_str(), caption.c_str(), QuestionBoxFlags(defaultButtonCode));
    return answer == IDYES ? IDYES : IDNO;
}

void ProgressWindow::ShowError(const std::wstring& text)
{
    if (silent) {
        return;
    }
    ::MessageBoxW(window, text.c_str(), kTitle, kErrorBoxFlags);
}

void ProgressWindow::ShowInfo(const std::wstring& text)
{
    if (silent) {
        return;
    }
    ::MessageBoxW(window, text.c_str(), kTitle, kInfoBoxFlags);
}

} // namespace orv
