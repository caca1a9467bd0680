// Screenshots of dialogs under Xvfb: a window's screen area saved as PNG (GDI+), and a tolerant
// comparison with a committed reference, so a broken layout fails while a few changed pixels
// (a caret, anti-aliasing) do not.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <gdiplus.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace krelta::testing {

class GdiPlus {
 public:
  GdiPlus() {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token_, &input, nullptr);
  }
  ~GdiPlus() { Gdiplus::GdiplusShutdown(token_); }

 private:
  ULONG_PTR token_ = 0;
};

// What the screen shows of window's client area (the dialog is on top; without a window manager
// there is no caption to show).
inline bool SaveWindowPng(HWND window, const std::wstring& file) {
  RECT rect{};
  ::GetClientRect(window, &rect);
  ::MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&rect), 2);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  HBITMAP bitmap = ::CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  ::SelectObject(memory, old);
  bool saved = false;
  {
    // GDI+'s PNG encoder.
    static const CLSID kPngEncoder = {0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
    Gdiplus::Bitmap image(bitmap, nullptr);
    saved = image.Save(file.c_str(), &kPngEncoder, nullptr) == Gdiplus::Ok;
  }
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return saved;
}

// The share of pixels whose colour moved by more than the tolerance: 1 when the sizes differ,
// -1 when either file cannot be read.
inline double DifferingShare(const std::wstring& actualFile, const std::wstring& referenceFile,
                             int channelTolerance = 64) {
  Gdiplus::Bitmap actual(actualFile.c_str());
  Gdiplus::Bitmap reference(referenceFile.c_str());
  if (actual.GetLastStatus() != Gdiplus::Ok || reference.GetLastStatus() != Gdiplus::Ok) return -1;
  const UINT width = actual.GetWidth(), height = actual.GetHeight();
  if (width != reference.GetWidth() || height != reference.GetHeight() || width == 0 || height == 0) return 1;
  Gdiplus::Rect all(0, 0, static_cast<INT>(width), static_cast<INT>(height));
  Gdiplus::BitmapData a{}, r{};
  actual.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &a);
  reference.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &r);
  size_t differing = 0;
  for (UINT y = 0; y < height; ++y) {
    const auto* pa = reinterpret_cast<const BYTE*>(a.Scan0) + y * a.Stride;
    const auto* pr = reinterpret_cast<const BYTE*>(r.Scan0) + y * r.Stride;
    for (UINT x = 0; x < width * 4; x += 4) {
      for (int c = 0; c < 3; ++c) {
        if (std::abs(pa[x + c] - pr[x + c]) > channelTolerance) {
          ++differing;
          break;
        }
      }
    }
  }
  actual.UnlockBits(&a);
  reference.UnlockBits(&r);
  return static_cast<double>(differing) / (static_cast<double>(width) * height);
}

}  // namespace krelta::testing
