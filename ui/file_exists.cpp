// The stub's answers to the questions of output/: the "File Exists" dialog (resource
// 101, owned by the main window), the save-as prompt for a new name, and the "Uh-Oh!"
// box for a failed write. All three are called from the worker thread.
#include <windows.h>
#include <commdlg.h>

#include "archive/extract.h"
#include "output/output.h"
#include "platform/platform.h"
#include "platform/win32.h"

#undef IDC_HAND  // the system's hand cursor; resources/strings.h names ours
#include "resources/strings.h"

namespace kelvra {
namespace {

enum DialogControl : int {
  control_replace = 1001,
  control_skip = 1002,
  control_rename = 1003,
  control_stop_asking = 1004,
  control_message = 1006,
};

// The dialog's result only tells answered (0) from closed; the answer itself travels
// here, cleared before each question.
volatile int file_exists_answer = 0;
bool stop_asking = false;

constexpr std::size_t label_size = LABEL_BUFFER_SIZE;

void set_label(HWND dialog, int control, unsigned id) {
  char label[label_size] = {};
  platform::load_string(id, label, sizeof label);
  SetDlgItemTextA(dialog, control, label);
}

void show_question(HWND dialog, const char* path) {
  // String 6 and the whole path: the control clips what doesn't fit its width.
  char text[FILE_EXISTS_BUFFER_SIZE + format::path_buffer_size] = {};
  platform::load_string(IDS_FILE_EXISTS, text, FILE_EXISTS_BUFFER_SIZE);
  std::size_t at = 0;
  while (text[at] != '\0') ++at;
  for (std::size_t i = 0; path[i] != '\0' && at + 1 < sizeof text; ++i) text[at++] = path[i];
  SetDlgItemTextA(dialog, control_message, text);
}

void answer(HWND dialog, int value) {
  file_exists_answer = value;
  EndDialog(dialog, 0);
}

INT_PTR CALLBACK file_exists_procedure(HWND dialog, UINT message, WPARAM wparam,
                                       LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      show_question(dialog, reinterpret_cast<const char*>(lparam));
      stop_asking = false;
      return TRUE;  // the default button, Replace, takes the focus

    case WM_COMMAND:
      // Enter arrives as the default button's id; Escape arrives as IDCANCEL and is
      // ignored, so that only the close box ends the dialog unanswered.
      if (HIWORD(wparam) != BN_CLICKED) return FALSE;
      switch (LOWORD(wparam)) {
        case control_replace:
          answer(dialog, stop_asking ? answer_replace_all : answer_replace);
          return TRUE;
        case control_skip:
          answer(dialog, stop_asking ? answer_skip_all : answer_skip);
          return TRUE;
        case control_rename:
          answer(dialog, answer_rename);
          return TRUE;
        case control_stop_asking:
          stop_asking = !stop_asking;
          set_label(dialog, control_replace, stop_asking ? IDS_REPLACE_ALL : IDS_REPLACE);
          set_label(dialog, control_skip, stop_asking ? IDS_SKIP_ALL : IDS_SKIP);
          EnableWindow(GetDlgItem(dialog, control_rename), stop_asking ? FALSE : TRUE);
          return TRUE;
        default:
          return TRUE;
      }

    case WM_CLOSE:
      EndDialog(dialog, 1);
      return TRUE;

    default:
      return FALSE;
  }
}

}  // namespace

int ask_file_exists(const char* path) {
  file_exists_answer = 0;
  const INT_PTR result = DialogBoxParamA(
      GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_FILE_EXISTS),
      static_cast<HWND>(platform::main_window()), file_exists_procedure,
      reinterpret_cast<LPARAM>(path));
  // A dialog that couldn't be shown returns without an answer; it counts as closed,
  // or the question would be put again and again.
  if (result != 0 || file_exists_answer == 0) {
    cancel_requested = 1;
    return answer_closed;
  }
  return file_exists_answer;
}

void ask_new_name(char* path_buffer) {
  // "All files", its pattern, and the list's closing empty entry.
  char filter[label_size + 16] = {};
  platform::load_string(IDS_ALL_FILES, filter, label_size);
  std::size_t at = 0;
  while (filter[at] != '\0') ++at;
  platform::load_string(IDS_ALL_PATTERN, filter + at + 1, sizeof filter - at - 2);

  char title[label_size] = {};
  platform::load_string(IDS_NEW_NAME, title, sizeof title);

  // The prompt works on a copy, so a cancelled or failed prompt leaves the name as it was.
  char name[format::path_buffer_size] = {};
  for (std::size_t i = 0; i + 1 < sizeof name && path_buffer[i] != '\0'; ++i) {
    name[i] = path_buffer[i];
  }

  OPENFILENAMEA prompt = {};
  prompt.lStructSize = sizeof prompt;
  prompt.hwndOwner = nullptr;
  prompt.lpstrFilter = filter;
  prompt.nFilterIndex = 1;
  prompt.lpstrFile = name;
  prompt.nMaxFile = sizeof name;
  prompt.lpstrTitle = title;
  prompt.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
  if (!GetSaveFileNameA(&prompt)) return;
  for (std::size_t i = 0; i < sizeof name; ++i) path_buffer[i] = name[i];
}

void report_write_failure(const char*, std::uint32_t) { platform::show_write_failure_box(); }

}  // namespace kelvra
