// The one boundary between the installer core and the operating system.
// Two implementations: win32.cpp (the stub and the Windows packer) and posix.cpp
// (the Linux packer, the unit tests, the fuzzers). Nothing else of ours is used here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvra::platform {

// A Win32 HANDLE or a POSIX descriptor, widened so one type serves both.
using file_t = std::intptr_t;
constexpr file_t invalid_file = -1;

// Memory. Zero-filled blocks; release(nullptr) does nothing.
void* allocate_zeroed(std::size_t size);
void release(void* block);

// The running program's own file.
// Read-only, binary, shared for reading and writing with other openers, inheritable.
file_t open_own_file(const char* path);
// The same for the running program itself, found by a path that the system's code page
// need not be able to spell.
file_t open_running_program();
// Size of an open file in bytes; false when it can't be told.
bool file_size(file_t file, std::uint64_t* size);
// Absolute and relative positioning; false when the position would be invalid.
bool seek_to(file_t file, std::uint64_t position);
bool seek_by(file_t file, std::int64_t delta);
// Reads up to count bytes; returns the number read, 0 at the end, -1 on failure.
std::int32_t read_file(file_t file, void* buffer, std::uint32_t count);

// Output files.
enum class CreateResult { created,
                          exists,
                          failed };
// Creates path new (write access, no sharing) with the low byte of the Windows
// attributes. *error receives the platform's error code when the result isn't created.
CreateResult create_new_file(const char* path, std::uint8_t attributes, file_t* file,
                             std::uint32_t* error);
// Writes all count bytes; false (with *error set) when the system didn't take them all.
bool write_file(file_t file, const void* data, std::uint32_t count, std::uint32_t* error);
// Sets creation and last-write times (FILETIME values); last access is left alone.
bool set_file_times(file_t file, std::uint64_t creation_time, std::uint64_t last_write_time);
// The same for the closed file at path.
bool set_file_times_at(const char* path, std::uint64_t creation_time, std::uint64_t last_write_time);
void close_file(file_t file);
// Clears read-only, hidden and system.
bool set_attributes_normal(const char* path);
// Puts back attributes as the system keeps them (those a program may set).
bool set_attributes(const char* path, std::uint32_t attributes);
bool delete_file(const char* path);
bool file_exists(const char* path);
// What stands at path, the last part not followed: a link (symlink, junction or mount
// point) counts as a link whatever it points to.
enum class NameKind { none,
                      file,
                      directory,
                      link };
NameKind name_kind(const char* path);
// Which Windows reparse points are links: only those whose tag has the name-surrogate
// bit. The others (cloud placeholders, deduplicated and WIM-backed files, ...) stand
// for the file or folder itself and are used as such. No reparse point carries tag 0;
// a system that reports it (Wine, for its symbolic links) is taken to mean a link.
constexpr bool reparse_tag_is_link(std::uint32_t tag) { return tag == 0 || (tag & 0x20000000u) != 0; }
// The platform's code for "a link stands in the way".
extern const std::uint32_t error_link_in_path;
// Whether opening a path goes through a link among its folders unseen, so that a
// writer must look at each folder first (Windows). POSIX resolves every output path
// without following links at the moment it uses it, which refuses the same entries
// with the same error and no gap between a check and the use.
extern const bool opens_follow_folder_links;
// The platform's codes for an entry whose data no longer decodes (the archive changed
// after the check, or a name that would leave the target directory), for a folder
// where a file is to go, and for a path too long for the system.
extern const std::uint32_t error_damaged_data;
extern const std::uint32_t error_directory_in_place;
extern const std::uint32_t error_name_too_long;
// Puts the closed file from in place of the file to, in one step: to's name is taken
// over whatever to was (a link is replaced, not followed). Both lie in the same folder.
// in_use: to is held open elsewhere and stays as it was, attributes too.
enum class ReplaceResult { replaced,
                           in_use,
                           failed };
ReplaceResult replace_file(const char* from, const char* to, std::uint32_t* error);

// Directories and the working directory.
enum class DirectoryResult { created,
                             not_found,
                             exists,
                             other };
DirectoryResult create_directory(const char* path);
bool set_working_directory(const char* path);
// Writes the working directory (terminated, at most size - 1 bytes); false when it can't.
bool get_working_directory(char* buffer, std::size_t size);
// Remembers the working directory, whatever characters its path holds, and goes back
// to it, last remembered first; up to saved_directory_depth at once (a save beyond
// that fails and remembers nothing). Each successful save is restored once.
constexpr unsigned saved_directory_depth = 8;
bool save_working_directory();
bool restore_working_directory();

// Environment. Names are matched without regard to case on Windows; a variable that
// isn't set reads as empty. The value is cut to size - 1 bytes and terminated.
void get_environment(const char* name, char* buffer, std::size_t size);

// Processes. Starts file with command_line without waiting: the environment, the
// working directory and inheritable handles are passed on. Result: whether it started;
// when it didn't, *error (if error isn't null) receives the system's reason.
bool start_process(const char* file, const char* command_line, std::uint32_t* error = nullptr);
// The reason start_process gives for a program that must run with more rights than
// the caller's (ERROR_ELEVATION_REQUIRED).
constexpr std::uint32_t error_elevation_required = 740;
// Starts file with parameters (shorter than max_shell_parameters) through the system's
// shell, in the working directory, without waiting; the shell asks the user's consent
// when the program needs more rights. Result: whether it started.
constexpr std::size_t max_shell_parameters = 512;
bool start_through_shell(const char* file, const char* parameters);

// Threads and the window.
void yield();
void pause(std::uint32_t milliseconds);
// The one guard of the message area.
void lock_message_area();
void unlock_message_area();
// Tells the main window its message text changed (repaint without erasing).
void invalidate_main_window();
// The "Uh-Oh!" box: no owner, empty caption, one OK button; returns once it's closed.
void show_write_failure_box();

// Loads a text of the program's string table by id (resources/strings.h), cut to
// size - 1 bytes and terminated; programs without a string table use the built-in texts.
void load_string(unsigned id, char* buffer, std::size_t size);

// A human-readable text for an error code returned above (for the packer's reports).
void describe_error(std::uint32_t error, char* buffer, std::size_t size);

}  // namespace kelvra::platform
