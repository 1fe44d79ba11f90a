// The Windows side of the platform boundary, on the ANSI ('A') calls so that paths
// and texts stay single-byte strings in the system's code page; the program's own file
// and the target directory, whose folders that code page may not spell, on the wide ones.
// Contains: memory, the own file, output files, directories, environment, process
// start (directly, or through the shell for a program that needs consent), yield, the
// message-area lock, the main-window repaint, the "Uh-Oh!" box, string-table texts and
// error descriptions.
#include <windows.h>
#include <shellapi.h>

// winuser.h names the system's hand cursor IDC_HAND; ours is resource 103 of the
// same name, so the system's macro is dropped before the project's ids come in.
#undef IDC_HAND
#include "resources/strings.h"

#include "platform/platform.h"
#include "platform/win32.h"

namespace kelvra::platform {
namespace {

HANDLE handle_of(file_t file) { return reinterpret_cast<HANDLE>(file); }
file_t file_of(HANDLE handle) { return reinterpret_cast<file_t>(handle); }

FILETIME filetime_of(std::uint64_t value) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(value);
  time.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return time;
}

// Bounded copy that always terminates (size > 0).
void copy_cut(char* buffer, std::size_t size, const char* text) {
  std::size_t i = 0;
  for (; i + 1 < size && text[i] != '\0'; ++i) buffer[i] = text[i];
  buffer[i] = '\0';
}

DWORD dword_size(std::size_t size) {
  return size > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(size);
}

HWND main_window_handle = nullptr;

// The message-area lock, made on first use. Both threads may reach it first, so the
// set-up is claimed with one interlocked exchange: 0 untouched, 1 being set up, 2 ready.
CRITICAL_SECTION message_lock;
volatile LONG message_lock_state = 0;

void ensure_message_lock() {
  if (message_lock_state == 2) return;
  if (InterlockedCompareExchange(&message_lock_state, 1, 0) == 0) {
    InitializeCriticalSection(&message_lock);
    InterlockedExchange(&message_lock_state, 2);
    return;
  }
  while (message_lock_state != 2) Sleep(0);
}

#ifndef KELVRA_TEXTS_IN_RESOURCES
// The texts themselves, for a program built without the string table (kelvra-pack).
// The stub carries the table, so its build leaves this copy out.
const char* builtin_text(unsigned id) {
  switch (id) {
    case IDS_REPLACE: return TEXT_REPLACE;
    case IDS_REPLACE_ALL: return TEXT_REPLACE_ALL;
    case IDS_SKIP: return TEXT_SKIP;
    case IDS_SKIP_ALL: return TEXT_SKIP_ALL;
    case IDS_FILE_EXISTS: return TEXT_FILE_EXISTS;
    case IDS_ALL_FILES: return TEXT_ALL_FILES;
    case IDS_NEW_NAME: return TEXT_NEW_NAME;
    case IDS_ALL_PATTERN: return TEXT_ALL_PATTERN;
    case IDS_OK: return TEXT_OK;
    case IDS_CANCEL: return TEXT_CANCEL;
    case IDS_WEB_ADDRESS: return TEXT_WEB_ADDRESS;
    case IDS_BANNER: return TEXT_BANNER;
    case IDS_OUT_OF_MEMORY: return TEXT_OUT_OF_MEMORY;
    case IDS_CORRUPTED: return TEXT_CORRUPTED;
    case IDS_INFLATING: return TEXT_INFLATING;
    case IDS_CANCELLED: return TEXT_CANCELLED;
    case IDS_BAD_PASSWORD: return TEXT_BAD_PASSWORD;
    case IDS_NEEDS_PASSWORD: return TEXT_NEEDS_PASSWORD;
    case IDS_NO_DIRECTORY: return TEXT_NO_DIRECTORY;
    case IDS_EXPAND_TO: return TEXT_EXPAND_TO;
    case IDS_PASSWORD: return TEXT_PASSWORD;
    case IDS_WRITE_FAILED: return TEXT_WRITE_FAILED;
    default: return "";
  }
}
#endif

}  // namespace

void set_main_window(void* window) { main_window_handle = static_cast<HWND>(window); }
void* main_window() { return main_window_handle; }

void* allocate_zeroed(std::size_t size) {
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

void release(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

namespace {

// Read-only, shared, inheritable: the after-run program gets the descriptor as well.
template <typename Char, typename Open>
__attribute__((always_inline)) inline file_t open_shared(const Char* path, Open open) {
  SECURITY_ATTRIBUTES security = {};
  security.nLength = sizeof security;
  security.bInheritHandle = TRUE;
  const HANDLE handle = open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &security,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return handle == INVALID_HANDLE_VALUE ? invalid_file : file_of(handle);
}

}  // namespace

file_t open_own_file(const char* path) { return open_shared(path, CreateFileA); }

file_t open_running_program() {
  // By the wide path: an installer saved under a user name the code page can't spell
  // would read its own path with '?' in it and not find itself.
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  // A cut path fills the buffer (and older systems leave it unterminated).
  if (length == 0 || length >= MAX_PATH) return invalid_file;
  return open_shared(path, CreateFileW);
}

bool file_size(file_t file, std::uint64_t* size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(handle_of(file), &value)) return false;
  *size = static_cast<std::uint64_t>(value.QuadPart);
  return true;
}

bool seek_to(file_t file, std::uint64_t position) {
  if (position > 0x7fffffffffffffffULL) return false;
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(position);
  return SetFilePointerEx(handle_of(file), distance, nullptr, FILE_BEGIN) != 0;
}

bool seek_by(file_t file, std::int64_t delta) {
  // The system refuses a position before the start of the file.
  LARGE_INTEGER distance;
  distance.QuadPart = delta;
  return SetFilePointerEx(handle_of(file), distance, nullptr, FILE_CURRENT) != 0;
}

std::int32_t read_file(file_t file, void* buffer, std::uint32_t count) {
  if (count > 0x7fffffff) count = 0x7fffffff;
  DWORD done = 0;
  if (!ReadFile(handle_of(file), buffer, count, &done, nullptr)) return -1;
  return static_cast<std::int32_t>(done);
}

CreateResult create_new_file(const char* path, std::uint8_t attributes, file_t* file,
                             std::uint32_t* error) {
  *file = invalid_file;
  *error = 0;
  const HANDLE handle =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    *file = file_of(handle);
    return CreateResult::created;
  }
  const DWORD code = GetLastError();
  *error = code;
  if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) return CreateResult::exists;
  return CreateResult::failed;
}

bool write_file(file_t file, const void* data, std::uint32_t count, std::uint32_t* error) {
  DWORD done = 0;
  if (!WriteFile(handle_of(file), data, count, &done, nullptr)) {
    *error = GetLastError();
    return false;
  }
  if (done != count) {
    // A short write without an error code: the medium took no more.
    *error = ERROR_HANDLE_DISK_FULL;
    return false;
  }
  return true;
}

bool set_file_times(file_t file, std::uint64_t creation_time, std::uint64_t last_write_time) {
  const FILETIME creation = filetime_of(creation_time);
  const FILETIME last_write = filetime_of(last_write_time);
  return SetFileTime(handle_of(file), &creation, nullptr, &last_write) != 0;
}

bool set_file_times_at(const char* path, std::uint64_t creation_time, std::uint64_t last_write_time) {
  // Writing attributes is allowed on a read-only file; others may have it open.
  const HANDLE handle = CreateFileA(path, FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool done = set_file_times(file_of(handle), creation_time, last_write_time);
  CloseHandle(handle);
  return done;
}

void close_file(file_t file) {
  if (file != invalid_file && file != 0) CloseHandle(handle_of(file));
}

bool set_attributes_normal(const char* path) {
  return SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) != 0;
}

bool set_attributes(const char* path, std::uint32_t attributes) {
  // The system refuses the bits it manages itself (directory, compressed, ...).
  constexpr DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                             FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                             FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD value = attributes & settable;
  return SetFileAttributesA(path, value != 0 ? value : FILE_ATTRIBUTE_NORMAL) != 0;
}

bool delete_file(const char* path) { return DeleteFileA(path) != 0; }

NameKind name_kind(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return NameKind::none;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // The tag tells a link from a placeholder of a sync engine and the like; one that
    // can't be read counts as a link, as does one left unset (Wine fills in no tag).
    WIN32_FIND_DATAA found = {};
    const HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return NameKind::link;
    FindClose(search);
    if (reparse_tag_is_link(found.dwReserved0)) return NameKind::link;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? NameKind::directory : NameKind::file;
}

const std::uint32_t error_link_in_path = ERROR_CANT_RESOLVE_FILENAME;
const bool opens_follow_folder_links = true;
const std::uint32_t error_damaged_data = ERROR_INVALID_DATA;
const std::uint32_t error_directory_in_place = ERROR_DIRECTORY;
const std::uint32_t error_name_too_long = ERROR_FILENAME_EXCED_RANGE;

ReplaceResult replace_file(const char* from, const char* to, std::uint32_t* error) {
  // A read-only file can't be replaced: made normal first, its attributes put back
  // when it stays.
  const DWORD old_attributes = GetFileAttributesA(to);
  SetFileAttributesA(to, FILE_ATTRIBUTE_NORMAL);
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return ReplaceResult::replaced;
  *error = GetLastError();
  if (old_attributes != INVALID_FILE_ATTRIBUTES) set_attributes(to, old_attributes);
  const bool in_use = *error == ERROR_SHARING_VIOLATION || *error == ERROR_LOCK_VIOLATION ||
                      *error == ERROR_ACCESS_DENIED;
  return in_use ? ReplaceResult::in_use : ReplaceResult::failed;
}

bool file_exists(const char* path) {
  // Only files count: a directory of the same name can't be started.
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

DirectoryResult create_directory(const char* path) {
  if (CreateDirectoryA(path, nullptr)) return DirectoryResult::created;
  switch (GetLastError()) {
    // Every code by which the system says that the path, or a part of it, isn't there.
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return DirectoryResult::not_found;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return DirectoryResult::exists;
    default:
      return DirectoryResult::other;
  }
}

bool set_working_directory(const char* path) { return SetCurrentDirectoryA(path) != 0; }

namespace {
// A Rename whose new name clashes again asks again, from inside the first question:
// the remembered directories nest.
wchar_t saved_directories[saved_directory_depth][MAX_PATH];
unsigned saved_count = 0;
}  // namespace

bool save_working_directory() {
  if (saved_count == saved_directory_depth ||
      !get_working_directory_wide(saved_directories[saved_count], MAX_PATH)) {
    return false;
  }
  ++saved_count;
  return true;
}

bool restore_working_directory() {
  return saved_count != 0 && set_working_directory_wide(saved_directories[--saved_count]);
}

bool set_working_directory_wide(const wchar_t* path) { return SetCurrentDirectoryW(path) != 0; }

void get_environment_wide(const wchar_t* name, wchar_t* buffer, std::size_t size) {
  // A value too long for the buffer is not cut: its beginning could name another
  // folder. It reads as unset.
  const DWORD length = GetEnvironmentVariableW(name, buffer, dword_size(size));
  if (length == 0 || length >= dword_size(size)) buffer[0] = L'\0';
}

bool get_working_directory_wide(wchar_t* buffer, std::size_t size) {
  const DWORD length = GetCurrentDirectoryW(dword_size(size), buffer);
  return length != 0 && length < dword_size(size);
}

bool get_working_directory(char* buffer, std::size_t size) {
  if (size == 0) return false;
  buffer[0] = '\0';
  // Too small a buffer gets the needed size back and nothing written.
  const DWORD length = GetCurrentDirectoryA(dword_size(size), buffer);
  if (length == 0 || length >= dword_size(size)) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

void get_environment(const char* name, char* buffer, std::size_t size) {
  if (size == 0) return;
  buffer[0] = '\0';
  DWORD length = GetEnvironmentVariableA(name, buffer, dword_size(size));
  if (length < dword_size(size)) {
    if (length == 0) buffer[0] = '\0';  // unset reads as empty
    return;
  }
  // Too long for the caller: the system wrote nothing and told the size it needs.
  // Read the whole value into scratch and keep its beginning. The value may change
  // between the two calls, hence the loop.
  for (int attempt = 0; attempt < 4; ++attempt) {
    char* scratch = static_cast<char*>(allocate_zeroed(length + 1));
    if (scratch == nullptr) return;
    const DWORD needed = GetEnvironmentVariableA(name, scratch, length + 1);
    if (needed <= length) {
      copy_cut(buffer, size, scratch);
      release(scratch);
      return;
    }
    release(scratch);
    length = needed;
  }
}

bool start_process(const char* file, const char* command_line, std::uint32_t* error) {
  // CreateProcessA may write into the command line, so it gets its own copy.
  std::size_t length = 0;
  while (command_line[length] != '\0') ++length;
  char* line = static_cast<char*>(allocate_zeroed(length + 1));
  if (line == nullptr) {
    if (error != nullptr) *error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  copy_cut(line, length + 1, command_line);

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessA(file, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                      &startup, &process);
  const DWORD code = started ? 0 : GetLastError();
  release(line);
  if (!started) {
    if (error != nullptr) *error = code;
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

bool start_through_shell(const char* file, const char* parameters) {
  // Full paths: the shell resolves a bare name differently from CreateProcess (App
  // Paths, its own search), and an elevated program doesn't start in our folder
  // unless told. Wide ones: that folder's name may be one the code page can't spell.
  wchar_t name[MAX_PATH];
  wchar_t full[MAX_PATH];
  wchar_t directory[MAX_PATH];
  wchar_t arguments[max_shell_parameters];
  if (MultiByteToWideChar(CP_ACP, 0, file, -1, name, MAX_PATH) == 0 ||
      MultiByteToWideChar(CP_ACP, 0, parameters, -1, arguments, max_shell_parameters) == 0) {
    return false;
  }
  const DWORD length = GetFullPathNameW(name, MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH || !get_working_directory_wide(directory, MAX_PATH)) {
    return false;
  }
  // The shell may hand the start on to extensions that need COM on this thread. ole32
  // is a KnownDLL, always the system's own, and is only needed here.
  typedef HRESULT(WINAPI * CoInitializeExFunction)(LPVOID, DWORD);
  const HMODULE ole = LoadLibraryA("ole32.dll");
  const auto co_initialize_ex =
      ole == nullptr ? nullptr
                     : reinterpret_cast<CoInitializeExFunction>(
                           reinterpret_cast<void*>(GetProcAddress(ole, "CoInitializeEx")));
  if (co_initialize_ex != nullptr) {
    co_initialize_ex(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  }
  SHELLEXECUTEINFOW execute = {};
  execute.cbSize = sizeof execute;
  // Done before returning: the installer closes right after this call. No
  // SEE_MASK_FLAG_NO_UI, which would keep the consent prompt from showing.
  execute.fMask = SEE_MASK_NOASYNC;
  execute.lpFile = full;
  execute.lpParameters = arguments;
  execute.lpDirectory = directory;
  execute.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&execute) != FALSE;
}

void yield() { Sleep(0); }

void pause(std::uint32_t milliseconds) { Sleep(milliseconds); }

void lock_message_area() {
  ensure_message_lock();
  EnterCriticalSection(&message_lock);
}

void unlock_message_area() { LeaveCriticalSection(&message_lock); }

void invalidate_main_window() {
  if (main_window_handle != nullptr) InvalidateRect(main_window_handle, nullptr, FALSE);
}

void show_write_failure_box() {
  char text[WRITE_FAILED_BUFFER_SIZE];
  load_string(IDS_WRITE_FAILED, text, sizeof text);
  MessageBoxA(nullptr, text, "", MB_OK);
}

void load_string(unsigned id, char* buffer, std::size_t size) {
  if (size == 0) return;
  buffer[0] = '\0';
  // LoadStringA cuts to fit and terminates; 0 means this program has no such text.
  if (LoadStringA(GetModuleHandleA(nullptr), id, buffer, static_cast<int>(dword_size(size))) > 0) {
    return;
  }
#ifndef KELVRA_TEXTS_IN_RESOURCES
  copy_cut(buffer, size, builtin_text(id));
#endif
}

void describe_error(std::uint32_t error, char* buffer, std::size_t size) {
  if (size == 0) return;
  buffer[0] = '\0';
  // The system refuses to cut its text, so it is formatted into ample scratch first.
  constexpr DWORD scratch_size = 1024;
  char* scratch = static_cast<char*>(allocate_zeroed(scratch_size));
  DWORD length = 0;
  if (scratch != nullptr) {
    length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                            error, 0, scratch, scratch_size, nullptr);
    if (length >= scratch_size) length = scratch_size - 1;
    // The system's texts end in a line break and often a full stop; reports add their own.
    while (length > 0 && (scratch[length - 1] == '\r' || scratch[length - 1] == '\n' ||
                          scratch[length - 1] == ' ' || scratch[length - 1] == '.')) {
      --length;
    }
    scratch[length] = '\0';
    copy_cut(buffer, size, scratch);
    release(scratch);
  }
  if (length > 0) return;
  // No text known: say the number.
  char digits[16];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + error % 10);
    error /= 10;
  } while (error != 0);
  const char prefix[] = "error ";
  std::size_t at = 0;
  for (std::size_t i = 0; prefix[i] != '\0' && at + 1 < size; ++i) buffer[at++] = prefix[i];
  while (count > 0 && at + 1 < size) buffer[at++] = digits[--count];
  buffer[at] = '\0';
}

}  // namespace kelvra::platform
