// The installer's flow behind the main window: its state, the handlers the window
// procedure dispatches to, the worker thread that runs the extraction, and teardown.
// Windows only.
#pragma once

#include <windows.h>

namespace kelvra {

enum InstallerState : int {
  STATE_CLOSE = 1,      // the button ends the program
  STATE_DIRECTORY = 2,  // the button confirms the target directory
  STATE_PASSWORD = 3,   // the button submits the password
};

// Written by the window's thread and, at a cancelled end, by the worker; one whole value.
extern volatile int installer_state;

// Ids of the main window's button and its two private commands.
constexpr int button_id = 1001;
constexpr WPARAM command_start_worker = 1025;
constexpr WPARAM command_set_button_text = 1026;

// Made by on_create, read by the painting.
extern HWND message_control;

void on_create(HWND window);
void on_button(HWND window);
void on_start_worker(HWND window);
void on_set_button_text(const char* text);
// Puts every control made so far at its place for dpi (96: the base layout).
void lay_out_controls(int dpi);
// Teardown: runs at most once, however it is reached.
void on_destroy();

DWORD WINAPI worker_main(LPVOID unused);

// For the calling thread: when the texts Windows picked for the user's UI language are
// in a code page other than the system's ANSI one (a Japanese UI on code page 1252),
// the ANSI functions would show them as question marks; the thread takes the English
// texts instead. Each thread that loads texts or dialogs calls it first.
void use_readable_texts();

// The directory the field proposes, as wide text: the archive's default_dir, else
// TEMP, else TMP, with "." turned into the current working directory.
void default_target_directory(wchar_t* directory);

}  // namespace kelvra
