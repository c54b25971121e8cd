// frmUpdate on Win32: a fixed window whose client area is the 280 x 83
// picture, with the three text fields drawn over it and an invisible click
// area over the drawn "Fermer". The layout is in 96-dpi pixels (its twips
// divided by 15) and scaled to the DPI of the window's monitor.
// The program's own names come first: <windows.h> has a function called
// UpdateWindow and a macro called MessageBox, which would otherwise take
// over the names of window.h.
#include "lifecycle/startup.h"
#include "lifecycle/window.h"
#include "player_texts.h"

#include <windows.h>

// GDI+ needs the COM stream declarations before it.
#include <objidl.h>

#include <gdiplus.h>
#include <shlwapi.h>
#undef MessageBox

#include "storage/text_win.h"

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <string>

extern const unsigned char kBackgroundPng[];
extern const std::size_t kBackgroundPngSize;
extern const unsigned char kGlobePng[];
extern const std::size_t kGlobePngSize;

// From files_win.cpp: removes the updater copy that a previous run moved
// aside when a file list replaced the updater itself.
void RemoveReplacedExecutable();

namespace {

constexpr int kWidth = 280;
constexpr int kHeight = 83;
constexpr int kBaseDpi = 96;
constexpr wchar_t kClassName[] = L"KestralonUpdateWindow";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kExStyle = 0;

// The fields were laid out in twips; 15 twips make one 96-dpi pixel.
constexpr RECT Twips(int left, int top, int width, int height) {
    return {left / 15, top / 15, (left + width) / 15, (top + height) / 15};
}
constexpr RECT kLabel4 = Twips(3240, 120, 735, 255);
constexpr RECT kL3 = Twips(120, 675, 3975, 255);
constexpr RECT kL2 = Twips(120, 435, 3975, 255);
constexpr RECT kQuitter = Twips(3120, 960, 1095, 285);

// No field shows more than a hundred characters or so, at any DPI; a longer
// text is cut to this many before it reaches GDI, so that measuring it for
// the ellipsis costs the same for a 500 KB text as for a line.
constexpr std::size_t kLongestDrawn = 1024;
constexpr wchar_t kEllipsis = L'\u2026';

// The text as it is drawn: UTF-16, at most kLongestDrawn units (a surrogate
// pair is never split), and ending in "…" when it was cut here. DrawTextW
// cuts it further to its field.
std::wstring Drawable(const std::string& text) {
    // Every character takes 1 to 4 UTF-8 bytes: the first 4 * kLongestDrawn
    // bytes hold more than enough characters.
    std::size_t bytes = std::min(text.size(), 4 * kLongestDrawn);
    if (bytes < text.size()) {
        while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    }
    std::wstring wide = Widen(std::string_view(text).substr(0, bytes));
    bool cut = bytes < text.size();
    if (wide.size() > kLongestDrawn) {
        std::size_t keep = kLongestDrawn;
        if (IS_HIGH_SURROGATE(wide[keep - 1])) --keep;
        wide.resize(keep);
        cut = true;
    }
    if (cut) wide += kEllipsis;
    return wide;
}

// The per-monitor DPI functions exist from Windows 10 1607 on; older systems
// have one DPI for the whole session.
UINT DpiOf(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow && window) {
        if (const UINT dpi = getDpiForWindow(window)) return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

RECT WindowRectFor(int clientWidth, int clientHeight, UINT dpi) {
    using AdjustFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = reinterpret_cast<AdjustFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    RECT rect{0, 0, clientWidth, clientHeight};
    if (adjustForDpi) {
        adjustForDpi(&rect, kStyle, FALSE, kExStyle, dpi);
    } else {
        AdjustWindowRectEx(&rect, kStyle, FALSE, kExStyle);
    }
    return rect;
}

int Scale(int pixels, UINT dpi) {
    return MulDiv(pixels, static_cast<int>(dpi), kBaseDpi);
}

RECT Scale(const RECT& rect, UINT dpi) {
    return {Scale(rect.left, dpi), Scale(rect.top, dpi), Scale(rect.right, dpi), Scale(rect.bottom, dpi)};
}

// GDI objects released with their owner.
template <class Handle>
class GdiObject {
public:
    GdiObject() = default;
    ~GdiObject() { Reset(nullptr); }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    void Reset(Handle handle) {
        if (handle_) DeleteObject(handle_);
        handle_ = handle;
    }
    Handle get() const { return handle_; }

private:
    Handle handle_ = nullptr;
};

class IconHandle {
public:
    ~IconHandle() { Reset(nullptr); }
    void Reset(HICON icon) {
        if (icon_) DestroyIcon(icon_);
        icon_ = icon;
    }
    HICON get() const { return icon_; }

private:
    HICON icon_ = nullptr;
};

// GDI+ for decoding the embedded PNGs; Windows has no PNG decoder in GDI.
class GdiplusSession {
public:
    GdiplusSession() {
        Gdiplus::GdiplusStartupInput input;
        if (Gdiplus::GdiplusStartup(&token_, &input, nullptr) != Gdiplus::Ok) token_ = 0;
    }
    ~GdiplusSession() {
        if (token_) Gdiplus::GdiplusShutdown(token_);
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;

private:
    ULONG_PTR token_ = 0;
};

std::unique_ptr<Gdiplus::Bitmap> DecodePng(const unsigned char* bytes, std::size_t size) {
    IStream* stream = SHCreateMemStream(bytes, static_cast<UINT>(size));
    if (!stream) return nullptr;
    auto bitmap = std::make_unique<Gdiplus::Bitmap>(stream);
    stream->Release();
    if (bitmap->GetLastStatus() != Gdiplus::Ok) return nullptr;
    return bitmap;
}

// The picture at the window's size: 1:1 at 96 dpi, smoothly scaled otherwise.
HBITMAP PictureAt(Gdiplus::Bitmap& picture, int width, int height) {
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HDC memory = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(memory, bitmap);
    {
        Gdiplus::Graphics graphics(memory);
        if (width != static_cast<int>(picture.GetWidth()) ||
            height != static_cast<int>(picture.GetHeight())) {
            graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
            graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
        }
        graphics.DrawImage(&picture, 0, 0, width, height);
    }
    SelectObject(memory, old);
    DeleteDC(memory);
    return bitmap;
}

HFONT TahomaAt(UINT dpi, bool bold) {
    // Tahoma 9.75 pt: 13 pixels at 96 dpi.
    return CreateFontW(-MulDiv(975, static_cast<int>(dpi), 7200), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE,
                       FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");
}

// The globe from the executable's icon resource; from the embedded PNG when
// the program carries no resource (the test programs).
HICON GlobeIcon(int size, Gdiplus::Bitmap* globe) {
    if (auto icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                  size, size, LR_DEFAULTCOLOR))) {
        return icon;
    }
    if (!globe) return nullptr;
    HICON icon = nullptr;
    Gdiplus::Bitmap scaled(size, size, PixelFormat32bppARGB);
    {
        Gdiplus::Graphics graphics(&scaled);
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        graphics.DrawImage(globe, 0, 0, size, size);
    }
    scaled.GetHICON(&icon);
    return icon;
}

class Win32UpdateWindow : public UpdateWindow {  // the class, not the function
public:
    Win32UpdateWindow() {
        texts_[Label4] = "0%";
        shown_[Label4] = Drawable(texts_[Label4]);
        background_ = DecodePng(kBackgroundPng, kBackgroundPngSize);
        globe_ = DecodePng(kGlobePng, kGlobePngSize);
        bigIcon_.Reset(GlobeIcon(GetSystemMetrics(SM_CXICON), globe_.get()));
        smallIcon_.Reset(GlobeIcon(GetSystemMetrics(SM_CXSMICON), globe_.get()));
        Register();
        const std::wstring title = Widen(texts::kAppTitle);
        // Created hidden: the update run shows it (Show).
        hwnd_ = CreateWindowExW(kExStyle, kClassName, title.c_str(), kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                kWidth, kHeight, nullptr, nullptr, GetModuleHandleW(nullptr), this);
        if (!hwnd_) throw std::runtime_error("CreateWindowEx");
        ApplyDpi(DpiOf(hwnd_), nullptr);
    }

    ~Win32UpdateWindow() override {
        if (hwnd_) DestroyWindow(hwnd_);
    }

    void Show() override {
        if (unloaded_ || !hwnd_) return;
        ShowWindow(hwnd_, SW_SHOW);
        SetForegroundWindow(hwnd_);
    }

    void Unload() override {
        unloaded_ = true;
        if (hwnd_) DestroyWindow(hwnd_);
    }
    bool Unloaded() const override { return unloaded_; }

    void SetText(Field field, const std::string& text) override {
        std::string& stored = texts_[field];
        if (stored == text) return;
        stored = text;
        shown_[field] = Drawable(text);
        // Transparent: the picture under the old text is painted again, in
        // one go from the back buffer, at the next event processing.
        if (hwnd_) {
            const RECT area = Scale(FieldRect(field), dpi_);
            InvalidateRect(hwnd_, &area, FALSE);
        }
    }
    std::string Text(Field field) const override { return texts_[field]; }

    void ProcessEvents() override {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                // Not ours to swallow: the outer loop must see it too.
                PostQuitMessage(static_cast<int>(message.wParam));
                return;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    void WaitEvents(double seconds) override {
        const DWORD ms = seconds <= 0 ? 0 : static_cast<DWORD>(seconds * 1000.0 + 0.5);
        MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        ProcessEvents();
    }

    void RunUntilUnloaded() override {
        MSG message;
        while (!unloaded_ && hwnd_ && GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    void MessageBox(const std::string& text) override {
        // Owned by the window once it is on screen, so it stays in front of
        // it; before that (the missing game) it stands alone.
        HWND owner = hwnd_ && IsWindowVisible(hwnd_) ? hwnd_ : nullptr;
        MessageBoxW(owner, Widen(text).c_str(), Widen(texts::kAppTitle).c_str(), MB_OK);
    }

private:
    void Register() {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &Win32UpdateWindow::Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hIcon = bigIcon_.get();
        windowClass.hIconSm = smallIcon_.get();
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.lpszClassName = kClassName;
        // A second window in the same process (tests) finds it registered.
        if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            throw std::runtime_error("RegisterClassEx");
        }
    }

    static const RECT& FieldRect(Field field) {
        switch (field) {
            case L2:
                return kL2;
            case L3:
                return kL3;
            case Label4:
            default:
                return kLabel4;
        }
    }

    // Sizes the window, its picture and its fonts for a DPI. suggested is the
    // system's proposal when the window moved to another monitor.
    void ApplyDpi(UINT dpi, const RECT* suggested) {
        dpi_ = dpi;
        width_ = Scale(kWidth, dpi);
        height_ = Scale(kHeight, dpi);
        regular_.Reset(TahomaAt(dpi, false));
        bold_.Reset(TahomaAt(dpi, true));
        picture_.Reset(background_ ? PictureAt(*background_, width_, height_) : nullptr);

        const RECT frame = WindowRectFor(width_, height_, dpi);
        const int frameWidth = frame.right - frame.left;
        const int frameHeight = frame.bottom - frame.top;
        int x = 0, y = 0;
        if (suggested) {
            x = suggested->left;
            y = suggested->top;
        } else {
            // Centred in the work area of the monitor the window is on.
            MONITORINFO monitor{};
            monitor.cbSize = sizeof monitor;
            GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTOPRIMARY), &monitor);
            const RECT& work = monitor.rcWork;
            x = work.left + (work.right - work.left - frameWidth) / 2;
            y = work.top + (work.bottom - work.top - frameHeight) / 2;
        }
        SetWindowPos(hwnd_, nullptr, x, y, frameWidth, frameHeight, SWP_NOZORDER | SWP_NOACTIVATE);
        InvalidateRect(hwnd_, nullptr, FALSE);
    }

    void Paint() {
        PAINTSTRUCT paint;
        HDC screen = BeginPaint(hwnd_, &paint);
        // Everything is composed off screen and copied in one step, so a
        // changed text never flickers and never leaves its old text behind.
        HDC back = CreateCompatibleDC(screen);
        HBITMAP backBitmap = CreateCompatibleBitmap(screen, width_, height_);
        HGDIOBJ oldBack = SelectObject(back, backBitmap);

        if (picture_.get()) {
            HDC source = CreateCompatibleDC(screen);
            HGDIOBJ oldSource = SelectObject(source, picture_.get());
            BitBlt(back, 0, 0, width_, height_, source, 0, 0, SRCCOPY);
            SelectObject(source, oldSource);
            DeleteDC(source);
        } else {
            FillRect(back, &paint.rcPaint, GetSysColorBrush(COLOR_BTNFACE));
        }

        SetBkMode(back, TRANSPARENT);
        SetTextColor(back, RGB(0, 0, 0));
        HGDIOBJ oldFont = SelectObject(back, regular_.get());
        for (const Field field : {Label4, L3, L2}) {
            SelectObject(back, field == Label4 ? bold_.get() : regular_.get());
            RECT area = Scale(FieldRect(field), dpi_);
            const std::wstring& text = shown_[field];
            // No prefix: an "&" in a file name shows as itself. A text wider
            // than its field ends in "…" at the field's edge. (Wine measures
            // a few letters, "e" and "o" among them, a pixel wider than it
            // draws them, so there the cut may come a little early.)
            DrawTextW(back, text.c_str(), static_cast<int>(text.size()), &area,
                      DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
        }
        SelectObject(back, oldFont);

        BitBlt(screen, paint.rcPaint.left, paint.rcPaint.top, paint.rcPaint.right - paint.rcPaint.left,
               paint.rcPaint.bottom - paint.rcPaint.top, back, paint.rcPaint.left, paint.rcPaint.top,
               SRCCOPY);
        SelectObject(back, oldBack);
        DeleteObject(backBitmap);
        DeleteDC(back);
        EndPaint(hwnd_, &paint);
    }

    bool OverQuitter(LPARAM position) const {
        const RECT area = Scale(kQuitter, dpi_);
        const POINT point{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
        return PtInRect(&area, point) != 0;
    }

    LRESULT Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_PAINT:
                Paint();
                return 0;
            case WM_ERASEBKGND:
                return 1;  // the paint covers everything
            case WM_LBUTTONDOWN:
                // A label's click: pressed and released over it.
                if (OverQuitter(lParam)) {
                    pressed_ = true;
                    SetCapture(hwnd_);
                }
                return 0;
            case WM_LBUTTONUP:
                if (pressed_) {
                    pressed_ = false;
                    ReleaseCapture();
                    if (OverQuitter(lParam)) lblQuitter_Click();
                }
                return 0;
            case WM_CAPTURECHANGED:
                pressed_ = false;
                return 0;
            case WM_CLOSE:
                // The system's close: no marker, no game. Escape never gets
                // here, as the window has no dialog keys.
                Unload();
                return 0;
            case WM_DPICHANGED:
                ApplyDpi(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
                return 0;
            case WM_NCDESTROY:
                SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
                hwnd_ = nullptr;
                unloaded_ = true;
                break;
            default:
                break;
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* self =
                static_cast<Win32UpdateWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
            self->hwnd_ = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
        auto* self = reinterpret_cast<Win32UpdateWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
        // No exception may unwind through the system's code that called us.
        try {
            return self->Handle(hwnd, message, wParam, lParam);
        } catch (...) {
            return DefWindowProcW(hwnd, message, wParam, lParam);
        }
    }

    GdiplusSession gdiplus_;
    std::unique_ptr<Gdiplus::Bitmap> background_;
    std::unique_ptr<Gdiplus::Bitmap> globe_;
    IconHandle bigIcon_;
    IconHandle smallIcon_;
    GdiObject<HBITMAP> picture_;
    GdiObject<HFONT> regular_;
    GdiObject<HFONT> bold_;
    HWND hwnd_ = nullptr;
    UINT dpi_ = kBaseDpi;
    int width_ = kWidth;
    int height_ = kHeight;
    bool pressed_ = false;
    bool unloaded_ = false;
    std::array<std::string, 3> texts_;
    std::array<std::wstring, 3> shown_;  // texts_ as drawn
};

}  // namespace

std::unique_ptr<class UpdateWindow> MakeUpdateWindow() {
    RemoveReplacedExecutable();
    return std::make_unique<Win32UpdateWindow>();
}
