// The Win32 view's pictures: a form's window built and shown without the loop, its
// client area copied from the screen and written as PNG.
#if defined(_WIN32)
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "loader/forms/png_writer.h"
#include "loader/forms/view_win32_internal.h"

namespace loader::forms::win32_view {
namespace {

// A picture is taken once this many pending messages have been handled at most.
constexpr int kMaxPumpedMessages = 10000;

}  // namespace

bool Win32View::SavePicture(FormLogic& form, const std::string& path, std::string* error) {
  if (running_ || picture_) return Fail(error, "the windows are in use");
  picture_ = true;
  pictureError_.clear();
  struct Reset {
    Win32View& view;
    ~Reset() {
      view.Teardown();
      view.picture_ = false;
    }
  } reset{*this};

  std::string reason;
  Window* window = Build(form, false, &reason);
  if (window == nullptr) return Fail(error, reason);
  Handle([&] { form.Created(); });
  if (!pictureError_.empty()) return Fail(error, "the form's creation failed: " + pictureError_);
  if (window->hwnd == nullptr) return Fail(error, "the form closed its window");
  Place(*window);
  ShowWindow(window->hwnd, SW_SHOWNOACTIVATE);
  MSG msg;
  for (int i = 0; i < kMaxPumpedMessages && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
    if (msg.message == WM_QUIT) {  // not ours: leave it for the loop that waits for it
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
  if (!Capture(window->hwnd, &width, &height, &rgb)) {
    return Fail(error, "cannot capture the window: " + LastErrorText());
  }
  const std::filesystem::path file(path);
  std::error_code ignored;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ignored);
  if (!WritePng(path, width, height, rgb)) return Fail(error, "cannot write " + path);
  return true;
}

bool Win32View::Fail(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return false;
}

// The client area as it is on the screen, as RGB rows.
bool Win32View::Capture(HWND hwnd, std::uint32_t* width, std::uint32_t* height,
                        std::vector<std::uint8_t>* rgb) {
  RedrawWindow(hwnd, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  GdiFlush();
  RECT client;
  GetClientRect(hwnd, &client);
  if (client.right <= 0 || client.bottom <= 0) return false;
  *width = static_cast<std::uint32_t>(client.right);
  *height = static_cast<std::uint32_t>(client.bottom);

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = client.right;
  info.bmiHeader.biHeight = -client.bottom;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  const HDC screen = GetDC(hwnd);
  if (screen == nullptr) return false;
  void* bits = nullptr;
  const HDC memory = CreateCompatibleDC(screen);
  const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool copied = false;
  if (memory != nullptr && bitmap != nullptr) {
    const HGDIOBJ old = SelectObject(memory, bitmap);
    copied = BitBlt(memory, 0, 0, client.right, client.bottom, screen, 0, 0, SRCCOPY) != FALSE;
    GdiFlush();
    SelectObject(memory, old);
  }
  if (copied) {
    const auto* pixels = static_cast<const std::uint8_t*>(bits);  // B, G, R, unused
    const std::size_t count = std::size_t{*width} * *height;
    rgb->resize(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
      (*rgb)[i * 3] = pixels[i * 4 + 2];
      (*rgb)[i * 3 + 1] = pixels[i * 4 + 1];
      (*rgb)[i * 3 + 2] = pixels[i * 4];
    }
  }
  if (bitmap != nullptr) DeleteObject(bitmap);
  if (memory != nullptr) DeleteDC(memory);
  ReleaseDC(hwnd, screen);
  return copied;
}

}  // namespace loader::forms::win32_view
#endif  // _WIN32
