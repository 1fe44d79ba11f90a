// The installer's flow: opening the archive when the window is made, the password
// and target-directory questions behind the one button, the worker thread that runs
// the extraction, and the teardown that ends the program.
#include "ui/installer.h"

#include <cstring>

#include "archive/after_run.h"
#include "archive/archive.h"
#include "archive/extract.h"
#include "output/message_area.h"
#include "password/password.h"
#include "platform/platform.h"
#include "platform/win32.h"
#include "ui/layout.h"

#undef IDC_HAND  // the system's hand cursor; resources/strings.h names ours
#include "resources/strings.h"

namespace kelvra {

volatile int installer_state = STATE_CLOSE;
HWND message_control = nullptr;

namespace {

constexpr std::size_t caption_size = CAPTION_BUFFER_SIZE;  // "OK" and "Cancel", at most 9 characters
char ok_caption[caption_size];
char cancel_caption[caption_size];

HWND button = nullptr;
HWND directory_label = nullptr;
HWND directory_field = nullptr;
HWND password_label = nullptr;
HWND password_field = nullptr;

HANDLE worker = nullptr;
bool torn_down = false;

// The directory field's text, proposed and then as the user left it.
wchar_t target_directory[format::default_dir_buffer_size];

// Each control's place at 96 DPI; lay_out_controls puts them there at the window's DPI.
struct Placement {
  HWND* control;
  layout::Box box;
};
const Placement placements[] = {
    {&message_control, layout::message_box},
    {&button, layout::button_box},
    {&directory_label, layout::row_label_box},
    {&directory_field, layout::row_field_box},
    {&password_label, layout::row_label_box},
    {&password_field, layout::row_field_box},
};

// Made without a size: lay_out_controls places every control once they all exist.
HWND make_control(HWND parent, DWORD ex_style, const char* class_name, const char* text,
                  DWORD style, INT_PTR id = 0) {
  return CreateWindowExA(ex_style, class_name, text, WS_CHILD | style, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(id), GetModuleHandleA(nullptr), nullptr);
}

// A label of the directory or password row, in the user's language.
HWND make_row_label(HWND window, unsigned id, DWORD style) {
  char text[ROW_LABEL_BUFFER_SIZE];
  platform::load_string(id, text, sizeof text);
  return make_control(window, 0, "STATIC", text, style);
}

void show_directory_row() {
  ShowWindow(directory_label, SW_SHOW);
  ShowWindow(directory_field, SW_SHOW);
}

}  // namespace

void default_target_directory(wchar_t* directory) {
  // Wide text, so that a TEMP under a user name the code page can't spell is kept whole;
  // the archive's own directory is in that code page anyway.
  constexpr std::size_t size = format::default_dir_buffer_size;
  MultiByteToWideChar(CP_ACP, 0, archive.default_dir, -1, directory, size);
  if (directory[0] == L'\0') platform::get_environment_wide(L"TEMP", directory, size);
  if (directory[0] == L'\0') platform::get_environment_wide(L"TMP", directory, size);
  if (directory[0] == L'.' && directory[1] == L'\0') {
    // Kept as "." when the working directory doesn't fit the field.
    wchar_t current[size];
    if (platform::get_working_directory_wide(current, size)) {
      for (std::size_t i = 0; i < size; ++i) directory[i] = current[i];
    }
  }
}

void on_create(HWND window) {
  platform::set_main_window(window);
  SetCursor(LoadCursorA(nullptr, IDC_ARROW));
  platform::load_string(IDS_OK, ok_caption, sizeof ok_caption);
  platform::load_string(IDS_CANCEL, cancel_caption, sizeof cancel_caption);
  message_area_open();

  message_control = make_control(window, 0, "STATIC", "", WS_VISIBLE);
  // The default button: Enter in either field presses it (see the message loop).
  button = make_control(window, 0, "BUTTON", ok_caption,
                        WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, button_id);

  if (open_running_archive() != 0) {
    // Whatever the reader said, this is the text the user is left with.
    show_string(IDS_CORRUPTED);
    installer_state = STATE_CLOSE;
    SetFocus(button);
    return;
  }

  // The system font is too wide for "Expand to:" in its box (the control wraps it and
  // shows "Expand" alone); the dialogs' font fits it, on one line.
  directory_label = make_row_label(window, IDS_EXPAND_TO, SS_LEFTNOWORDWRAP);
  SendMessageA(directory_label, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), 0);
  default_target_directory(target_directory);
  // A wide field: typed text the code page can't spell is kept as typed.
  directory_field = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", target_directory,
                                    WS_CHILD | WS_TABSTOP | ES_AUTOHSCROLL, 0, 0, 0, 0, window,
                                    nullptr, GetModuleHandleA(nullptr), nullptr);
  // What the field shows is what is used: a longer path would be cut when read, and
  // its cut form could name another directory that exists. Counted in characters.
  SendMessageA(directory_field, EM_SETLIMITTEXT, format::default_dir_buffer_size - 1, 0);

  if (has_password()) {
    show_string(IDS_NEEDS_PASSWORD);
    password_label = make_row_label(window, IDS_PASSWORD, WS_VISIBLE);
    password_field = make_control(window, WS_EX_CLIENTEDGE, "EDIT", "",
                                  WS_VISIBLE | WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL);
    SendMessageA(password_field, EM_SETLIMITTEXT, max_password_length, 0);
    SetFocus(password_field);
    installer_state = STATE_PASSWORD;
    return;
  }
  show_message(archive.prompt);
  show_directory_row();
  installer_state = STATE_DIRECTORY;
  SetFocus(button);
}

void on_button(HWND window) {
  switch (installer_state) {
    case STATE_CLOSE:
      on_destroy();
      return;

    case STATE_DIRECTORY:
      GetWindowTextW(directory_field, target_directory,
                     static_cast<int>(format::default_dir_buffer_size));
      // The target directory must exist: it is entered, never created.
      if (!platform::set_working_directory_wide(target_directory)) {
        show_string(IDS_NO_DIRECTORY);
        SetFocus(directory_field);
        Beep(200, 60);
        return;
      }
      installer_state = STATE_CLOSE;
      EnableWindow(directory_label, FALSE);
      EnableWindow(directory_field, FALSE);
      SetWindowTextA(button, cancel_caption);
      SendMessageA(window, WM_COMMAND, command_start_worker, 0);
      return;

    case STATE_PASSWORD: {
      char typed[max_password_length + 1] = {};
      GetWindowTextA(password_field, typed, sizeof typed);
      SetWindowTextA(password_field, "");
      ShowWindow(password_label, SW_HIDE);
      ShowWindow(password_field, SW_HIDE);
      InvalidateRect(window, nullptr, TRUE);
      const bool right = password_matches(typed);
      SecureZeroMemory(typed, sizeof typed);
      if (right) {
        show_directory_row();
        show_message(archive.prompt);
        installer_state = STATE_DIRECTORY;
      } else {
        // No second attempt: the only way on is to close.
        show_string(IDS_BAD_PASSWORD);
        installer_state = STATE_CLOSE;
      }
      return;
    }
  }
}

void on_start_worker(HWND) {
  // Without a thread nothing more happens: the state is already STATE_CLOSE, so the
  // button, captioned "Cancel", ends the program.
  worker = CreateThread(nullptr, 0, worker_main, nullptr, 0, nullptr);
  SetFocus(button);
}

void on_set_button_text(const char* text) { SetWindowTextA(button, text); }

void lay_out_controls(int dpi) {
  // A row not made (no password asked, or a damaged archive) is refused, harmlessly.
  for (const Placement& p : placements) {
    // Left, top, right, bottom: each edge scaled once, so the lengths follow the edges.
    const int edges[4] = {p.box.x, p.box.y, p.box.x + p.box.width, p.box.y + p.box.height};
    int at[4];
    for (int i = 0; i < 4; ++i) at[i] = layout::scale(edges[i], dpi);
    MoveWindow(*p.control, at[0], at[1], at[2] - at[0], at[3] - at[1], TRUE);
  }
}

void on_destroy() {
  if (torn_down) return;
  torn_down = true;

  bool worker_running = false;
  if (worker != nullptr) {
    worker_running = WaitForSingleObject(worker, 0) == WAIT_TIMEOUT;
    CloseHandle(worker);  // neither waited for nor stopped: the process's end does that
    worker = nullptr;
  }
  if (!worker_running) {
    message_area_close();
    close_archive();
  }
  PostQuitMessage(0);
}

void use_readable_texts() {
  char digits[8];
  platform::load_string(IDS_CODE_PAGE, digits, sizeof digits);
  unsigned code_page = 0;
  for (const char* digit = digits; *digit != '\0'; ++digit) {
    code_page = code_page * 10 + static_cast<unsigned>(*digit - '0');
  }
  if (code_page == 0 || code_page == GetACP()) return;
  // The loader follows the thread's UI language on Windows and its locale under Wine.
  const LANGID english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  SetThreadUILanguage(english);
  SetThreadLocale(MAKELCID(english, SORT_DEFAULT));
}

// The extraction run's reports, in the message area: "  inflating: " and the path (a
// long path loses its end), then the entry's stored name once it is done with.
void entry_started(const char* path) {
  char text[message_area_size];
  platform::load_string(IDS_INFLATING, text, sizeof text);
  std::size_t used = std::strlen(text);
  while (*path != '\0' && used < sizeof text - 1) text[used++] = *path++;
  text[used] = '\0';
  show_message(text);
}

void entry_done(const DirectoryEntry& entry) { show_message(entry.name); }

// A complete run starts the after-run program, and the window is torn down
// (worker_main); any other end is said and waits for the user to close.
void extraction_ended(int result) {
  if (result == 0) {
    start_run_program();
  } else {
    show_string(result == 1 ? IDS_CANCELLED : IDS_CORRUPTED);
  }
}

DWORD WINAPI worker_main(LPVOID) {
  use_readable_texts();
  const HWND window = static_cast<HWND>(platform::main_window());
  if (extract_all() == 0) {
    // Teardown runs on the window's thread; the window itself goes with the process.
    SendMessageA(window, WM_DESTROY, 0, 0);
    return 0;
  }
  installer_state = STATE_CLOSE;
  char caption[caption_size] = {};
  platform::load_string(IDS_OK, caption, sizeof caption);
  SendMessageA(window, WM_COMMAND, command_set_button_text, reinterpret_cast<LPARAM>(caption));
  return 0;
}

}  // namespace kelvra
