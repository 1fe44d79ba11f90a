// The program's entry and its one window: class and placement, the message loop, the
// window procedure that hands each message to one handler, the painting of the icon,
// the message area, the banner and the web link, and the link's hover and click. The
// window is laid out for its monitor's DPI and again whenever it moves to another.
#include <windows.h>
#include <shellapi.h>

#include <cstring>

#include "archive/archive.h"
#include "output/message_area.h"
#include "platform/platform.h"
#include "ui/installer.h"
#include "ui/layout.h"

#undef IDC_HAND  // the system's hand cursor; resources/strings.h names ours
#include "resources/strings.h"

namespace kelvra {
namespace {

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

// The DPI the window is laid out for; every pixel measure goes through scaled().
int dpi = layout::base_dpi;
HICON program_icon = nullptr;
HFONT banner_font = nullptr;
HFONT link_font = nullptr;
HCURSOR arrow_cursor = nullptr;
HCURSOR hand_cursor = nullptr;

RECT link_rect = {};
bool hovering = false;

// The last text given to the message control, so that an unchanged text isn't set
// again (and the control doesn't flicker) on every paint.
char shown_message[message_area_size];

// One copy of the rule's arithmetic, called, is smaller than one at every use.
__attribute__((noinline)) int scaled(int pixels) { return layout::scale(pixels, dpi); }

// GetDpiForWindow exists from Windows 10 1607 on; before it, and for no window, the
// system's DPI, which is every monitor's on systems without per-monitor scaling.
int window_dpi(HWND window) {
  typedef UINT(WINAPI * GetDpiForWindowFunction)(HWND);
  const auto get_dpi_for_window = reinterpret_cast<GetDpiForWindowFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
  int found = get_dpi_for_window != nullptr && window != nullptr ? get_dpi_for_window(window) : 0;
  if (found == 0) {
    const HDC screen = GetDC(nullptr);
    found = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  return found;
}

HFONT make_font(BOOL italic, BOOL underline) {
  // The banner's line ends where the link's begins, at every DPI.
  return CreateFontA(layout::scale_length(layout::banner_y, layout::font_height, dpi), 0, 0, 0, FW_NORMAL, italic, underline, FALSE, ANSI_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     VARIABLE_PITCH | FF_ROMAN, "Roman");
}

void load_once() {
  static bool loaded = false;
  if (loaded) return;
  loaded = true;
  arrow_cursor = LoadCursorA(nullptr, IDC_ARROW);
  hand_cursor = LoadCursorA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDC_HAND));
}

// The fonts, the icon's image and the controls' places for new_dpi.
void use_dpi(int new_dpi) {
  dpi = new_dpi;
  DeleteObject(banner_font);
  DeleteObject(link_font);
  banner_font = make_font(TRUE, FALSE);
  link_font = make_font(FALSE, TRUE);
  // The group's image nearest this size, so that a many-sized icon is drawn sharp.
  DestroyIcon(program_icon);  // none yet the first time: refused, harmlessly
  const int icon_size = scaled(layout::icon_size);
  program_icon = static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_PROGRAM),
                                               IMAGE_ICON, icon_size, icon_size, 0));
  lay_out_controls(dpi);
}

// The window was moved to a monitor of another scale: Windows suggests the rectangle
// that keeps its size in that monitor's pixels.
void on_dpi_changed(HWND window, WPARAM wparam, LPARAM lparam) {
  const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
  use_dpi(HIWORD(wparam));
  // Repainted whole: the suggested size is always another.
  MoveWindow(window, suggested->left, suggested->top, suggested->right - suggested->left,
             suggested->bottom - suggested->top, TRUE);
}

void update_message_control() {
  char text[message_area_size] = {};
  read_message(text, sizeof text);
  bool same = true;
  for (std::size_t i = 0; i < sizeof text; ++i) {
    if (text[i] != shown_message[i]) same = false;
    shown_message[i] = text[i];
  }
  if (!same) SetWindowTextA(message_control, text);
}

void paint(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  const int client_width = client.right - client.left;
  PAINTSTRUCT ps;
  const HDC dc = BeginPaint(window, &ps);
  SetTextColor(dc, RGB(0, 0, 0));
  SetBkMode(dc, TRANSPARENT);

  const HGDIOBJ previous_font = SelectObject(dc, banner_font);
  // After a failed opening the banner is empty, or gone with the archive's buffers.
  if (archive.banner != nullptr && archive.banner[0] != '\0') {
    const int length = static_cast<int>(std::strlen(archive.banner));
    SIZE size;
    GetTextExtentPoint32A(dc, archive.banner, length, &size);
    TextOutA(dc, (client_width - size.cx) / 2, scaled(layout::banner_y), archive.banner, length);
  }

  update_message_control();

  SelectObject(dc, link_font);
  const COLORREF previous_color = SetTextColor(dc, RGB(0, 0, 255));
  char address[60];  // load_string always terminates it: no zeroing first
  platform::load_string(IDS_WEB_ADDRESS, address, sizeof address);
  const int length = static_cast<int>(std::strlen(address));
  SIZE size;
  GetTextExtentPoint32A(dc, address, length, &size);
  const int x = (client_width - size.cx) / 2;
  const int link_y = scaled(layout::link_y);
  TextOutA(dc, x, link_y, address, length);
  link_rect.left = x;
  link_rect.top = link_y;
  link_rect.right = x + size.cx;
  link_rect.bottom = link_y + size.cy;

  SetTextColor(dc, previous_color);
  // Drawn at its own size, the one chosen for the DPI (without one, nothing is drawn).
  DrawIconEx(dc, scaled(layout::icon_x), scaled(layout::icon_y), program_icon, 0, 0, 0, nullptr,
             DI_NORMAL);
  SelectObject(dc, previous_font);
  EndPaint(window, &ps);
}

POINT point_of(LPARAM lparam) {
  // Signed: positions left of or above the client area are negative.
  POINT point;
  point.x = static_cast<short>(LOWORD(lparam));
  point.y = static_cast<short>(HIWORD(lparam));
  return point;
}

// PtInRect's rule, kept here to spare the stub an import: right and bottom edges out.
bool over_link(POINT point) {
  return point.x >= link_rect.left && point.x < link_rect.right && point.y >= link_rect.top &&
         point.y < link_rect.bottom;
}

void on_pointer_move(LPARAM lparam) {
  const bool inside = over_link(point_of(lparam));
  if (inside && !hovering) SetCursor(hand_cursor);
  if (!inside && hovering) SetCursor(arrow_cursor);
  hovering = inside;
}

// The class has no cursor, so without this the pointer would keep whatever shape it
// last had, such as the edit field's I-beam, over the window's background.
bool on_set_cursor(HWND window, WPARAM wparam, LPARAM lparam) {
  if (reinterpret_cast<HWND>(wparam) != window || LOWORD(lparam) != HTCLIENT) return false;
  POINT point;
  GetCursorPos(&point);
  ScreenToClient(window, &point);
  SetCursor(over_link(point) ? hand_cursor : arrow_cursor);
  return true;
}

void on_left_button(HWND window, LPARAM lparam) {
  if (!over_link(point_of(lparam))) return;
  char address[80];  // terminated by load_string
  platform::load_string(IDS_WEB_ADDRESS, address, sizeof address);
  ShellExecuteA(window, "open", address, nullptr, nullptr, SW_SHOWNORMAL);
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  load_once();
  switch (message) {
    case WM_CREATE:
      on_create(window);
      use_dpi(window_dpi(window));
      return 0;
    case WM_DPICHANGED:
      on_dpi_changed(window, wparam, lparam);
      return 0;
    case DM_GETDEFID:
      // Asked by the dialog manager of the message loop: Enter presses the button.
      return MAKELONG(button_id, DC_HASDEFID);
    case WM_DESTROY:
      on_destroy();
      return 0;
    case WM_PAINT:
      paint(window);
      return 0;
    case WM_COMMAND:
      // The whole word: a plain click of the button (notification 0), or one of the
      // private commands sent with their bare numbers.
      if (wparam == static_cast<WPARAM>(button_id)) {
        on_button(window);
      } else if (wparam == command_start_worker) {
        on_start_worker(window);
      } else if (wparam == command_set_button_text) {
        on_set_button_text(reinterpret_cast<const char*>(lparam));
      } else if (wparam == IDCANCEL) {
        // Escape, from the dialog manager: whatever the close box would do.
        return DefWindowProcA(window, WM_CLOSE, 0, 0);
      }
      return 0;
    case WM_MOUSEMOVE:
      on_pointer_move(lparam);
      return 0;
    case WM_SETCURSOR:
      if (on_set_cursor(window, wparam, lparam)) return TRUE;
      return DefWindowProcA(window, message, wparam, lparam);
    case WM_LBUTTONDOWN:
      on_left_button(window, lparam);
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

}  // namespace
}  // namespace kelvra

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR, int show) {
  using namespace kelvra;
  use_readable_texts();
  if (previous == nullptr) {
    WNDCLASSA window_class = {};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_PROGRAM));
    window_class.hCursor = nullptr;  // the pointer is set by hand, for the link
    window_class.hbrBackground = CreateSolidBrush(GetSysColor(COLOR_MENU));
    window_class.lpszClassName = "MyClass";
    if (RegisterClassA(&window_class) == 0) return 0;
  }

  // Sized for the system's DPI, the primary monitor's, where the window opens.
  dpi = window_dpi(nullptr);
  const int window_width = scaled(layout::window_width);
  const int window_height = scaled(layout::window_height);
  const int x = (GetSystemMetrics(SM_CXSCREEN) - window_width) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - window_height) / 3;
  const HWND window = CreateWindowExA(WS_EX_DLGMODALFRAME, "MyClass", "Kelvra",
                                      WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, x, y,
                                      window_width, window_height, nullptr, nullptr, instance,
                                      nullptr);
  if (window == nullptr) return 0;
  ShowWindow(window, show);
  UpdateWindow(window);

  // A wide loop: the directory field is a wide control, and characters typed into it
  // that the code page can't spell would come out of an ANSI loop as '?'.
  MSG message;
  for (;;) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) break;
    if (got == -1) return 0;
    // Tab and Shift+Tab between the field and the button, Enter for the default
    // button, Escape for IDCANCEL: the dialog manager's keys, in a plain window.
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}
