// The platform boundary on POSIX: the Linux packer, the unit tests and the fuzzers.
// Contains: memory, own file, output files, directories, environment, a recorded (never
// real) process start, direct or through the shell, the message-area guard, built-in
// texts, and the test hooks.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix_testing.h"
#include "resources/strings.h"

namespace kelvra::platform {

namespace {

// Archive paths use \ as the separator; the local file system wants /.
constexpr std::size_t local_path_size = PATH_MAX;

bool to_local_path(const char* path, char* local) {
  std::size_t i = 0;
  for (; path[i] != '\0'; ++i) {
    if (i + 1 >= local_path_size) {
      errno = ENAMETOOLONG;
      return false;
    }
    local[i] = path[i] == '\\' ? '/' : path[i];
  }
  local[i] = '\0';
  return true;
}

void copy_cut(const char* text, char* buffer, std::size_t size) {
  if (size == 0) return;
  std::size_t n = std::strlen(text);
  if (n > size - 1) n = size - 1;
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
}

std::uint32_t last_error() { return static_cast<std::uint32_t>(errno); }

// FILETIME counts 100 ns ticks from 1601-01-01; this many of them lie before 1970.
constexpr std::uint64_t unix_epoch_ticks = 116444736000000000ULL;

timespec from_filetime(std::uint64_t ticks) {
  timespec t{};
  std::int64_t since_epoch = static_cast<std::int64_t>(ticks - unix_epoch_ticks);
  if (ticks < unix_epoch_ticks) since_epoch = -static_cast<std::int64_t>(unix_epoch_ticks - ticks);
  std::int64_t seconds = since_epoch / 10000000;
  std::int64_t rest = since_epoch % 10000000;
  if (rest < 0) {
    rest += 10000000;
    seconds -= 1;
  }
  t.tv_sec = static_cast<time_t>(seconds);
  t.tv_nsec = static_cast<long>(rest * 100);
  return t;
}

// Output paths are resolved from the working directory without following a link in
// any folder part, and the file is then made relative to the folder reached: a folder
// part swapped for a link after any check is refused (ELOOP) instead of followed. The
// kernel does the whole resolution in one step (openat2, RESOLVE_NO_SYMLINKS); where it
// can't, the folders are walked one part at a time with O_NOFOLLOW | O_DIRECTORY. An
// absolute path is the one the user chose in the rename prompt: its folders are theirs.
std::atomic<bool> part_by_part{false};
std::atomic<int> held_replaces{0};
std::atomic<bool> tunnelling{false};
std::atomic<std::uint32_t> paused_for{0};

// Opens a relative path with flags (and mode), no link followed on the way; -2 when
// the system can't say.
int open_in_one_step(const char* path, int flags, mode_t mode) {
  if (part_by_part.load()) return -2;
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;
  how.resolve = RESOLVE_NO_SYMLINKS;
  long fd;
  do {
    fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  // Kernels before 5.6, and sandboxes that filter the call, leave it to the walk.
  if (fd < 0 && (errno == ENOSYS || errno == EPERM)) return -2;
  return static_cast<int>(fd);
}

int walk_part_by_part(char* folder_path) {
  int folder = AT_FDCWD;
  char* part = folder_path;
  for (;;) {
    char* end = std::strchr(part, '/');
    if (end != nullptr) *end = '\0';
    int next = folder;
    if (*part != '\0') {
      do {
        next = openat(folder, part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      } while (next < 0 && errno == EINTR);
      int error = errno;
      struct stat st;
      // On a link, O_PATH | O_NOFOLLOW | O_DIRECTORY says ENOTDIR: say what stood there.
      if (next < 0 && error == ENOTDIR && fstatat(folder, part, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        error = ELOOP;
      }
      if (folder != AT_FDCWD) close(folder);
      errno = error;
    }
    if (end != nullptr) *end = '/';
    if (next < 0 || end == nullptr) return next;
    folder = next;
    part = end + 1;
  }
}

// Opens the folder that holds local's last part, which *name is left at (trailing
// separators dropped). Returns AT_FDCWD for a name without folders or an absolute path,
// a descriptor for close_parent, or -1 with errno set.
int open_parent(char* local, const char** name) {
  std::size_t length = std::strlen(local);
  while (length > 1 && local[length - 1] == '/') local[--length] = '\0';
  char* last = std::strrchr(local, '/');
  *name = local;
  if (last == nullptr || local[0] == '/') return AT_FDCWD;
  *name = last + 1;
  *last = '\0';
  int folder = open_in_one_step(local, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  if (folder == -2) folder = walk_part_by_part(local);
  const int error = errno;
  *last = '/';
  errno = error;
  return folder;
}

void close_parent(int folder) {
  if (folder >= 0) close(folder);
}

std::atomic<int> allocations_left{-1};

pthread_mutex_t message_guard = PTHREAD_MUTEX_INITIALIZER;

std::atomic<int> repaints{0};
std::atomic<void (*)(const char*, DirectoryResult)> directory_listener{nullptr};

pthread_mutex_t start_guard = PTHREAD_MUTEX_INITIALIZER;
testing::StartRecord start_record;
int starts = 0;
std::uint32_t next_start_error = 0;  // 0: the next start succeeds
testing::ShellStartRecord shell_start_record;
int shell_starts = 0;

}  // namespace

void* allocate_zeroed(std::size_t size) {
  int left = allocations_left.load();
  while (left >= 0) {
    if (left == 0) return nullptr;
    if (allocations_left.compare_exchange_weak(left, left - 1)) break;
  }
  return std::calloc(1, size == 0 ? 1 : size);
}

void release(void* block) { std::free(block); }

file_t open_running_program() { return open_own_file("/proc/self/exe"); }

file_t open_own_file(const char* path) {
  char local[local_path_size];
  if (!to_local_path(path, local)) return invalid_file;
  // Deliberately inheritable: the after-run program may rely on it.
  int fd;
  do {
    fd = open(local, O_RDONLY);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? invalid_file : static_cast<file_t>(fd);
}

bool file_size(file_t file, std::uint64_t* size) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0 || st.st_size < 0) return false;
  *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool seek_to(file_t file, std::uint64_t position) {
  if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return lseek(static_cast<int>(file), static_cast<off_t>(position), SEEK_SET) >= 0;
}

bool seek_by(file_t file, std::int64_t delta) {
  return lseek(static_cast<int>(file), static_cast<off_t>(delta), SEEK_CUR) >= 0;
}

std::int32_t read_file(file_t file, void* buffer, std::uint32_t count) {
  if (count > static_cast<std::uint32_t>(INT32_MAX)) count = INT32_MAX;
  ssize_t n;
  do {
    n = read(static_cast<int>(file), buffer, count);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<std::int32_t>(n);
}

CreateResult create_new_file(const char* path, std::uint8_t attributes, file_t* file,
                             std::uint32_t* error) {
  *file = invalid_file;
  *error = 0;
  char local[local_path_size];
  if (!to_local_path(path, local)) {
    *error = last_error();
    return CreateResult::failed;
  }
  // Read-only is the one attribute a POSIX mode can carry; the umask still applies.
  mode_t mode = (attributes & 0x01) != 0 ? 0444 : 0666;
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  // One call for the common case, a name relative to the target.
  int fd = local[0] == '/' ? -2 : open_in_one_step(local, flags, mode);
  const char* name = nullptr;
  const int folder = fd == -2 ? open_parent(local, &name) : -1;
  if (fd == -2) fd = -1;
  if (folder != -1) {
    do {
      fd = openat(folder, name, flags, mode);
    } while (fd < 0 && errno == EINTR);
    const int error = errno;
    close_parent(folder);
    errno = error;
  }
  if (fd < 0) {
    *error = last_error();
    return errno == EEXIST ? CreateResult::exists : CreateResult::failed;
  }
  *file = static_cast<file_t>(fd);
  return CreateResult::created;
}

bool write_file(file_t file, const void* data, std::uint32_t count, std::uint32_t* error) {
  const char* p = static_cast<const char*>(data);
  std::uint32_t left = count;
  while (left > 0) {
    ssize_t n = write(static_cast<int>(file), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = last_error();
      return false;
    }
    if (n == 0) {
      *error = ENOSPC;
      return false;
    }
    p += n;
    left -= static_cast<std::uint32_t>(n);
  }
  return true;
}

bool set_file_times(file_t file, std::uint64_t /*creation_time*/, std::uint64_t last_write_time) {
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = from_filetime(last_write_time);
  return futimens(static_cast<int>(file), times) == 0;
}

bool set_file_times_at(const char* path, std::uint64_t /*creation_time*/, std::uint64_t last_write_time) {
  char local[local_path_size];
  if (!to_local_path(path, local)) return false;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = from_filetime(last_write_time);
  return utimensat(AT_FDCWD, local, times, AT_SYMLINK_NOFOLLOW) == 0;
}

void close_file(file_t file) {
  if (file != invalid_file) close(static_cast<int>(file));
}

namespace {

// Changes the mode of what stands at path, never of what a link there points to.
bool change_mode(const char* path, mode_t (*mode_of)(mode_t kept, std::uint32_t attributes),
                 std::uint32_t attributes) {
  char local[local_path_size];
  const char* name = nullptr;
  if (!to_local_path(path, local)) return false;
  const int folder = open_parent(local, &name);
  if (folder == -1) return false;
  struct stat st;
  const bool done = fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode) &&
                    fchmodat(folder, name, mode_of(st.st_mode & 07777, attributes), 0) == 0;
  close_parent(folder);
  return done;
}

mode_t writable(mode_t kept, std::uint32_t) { return kept | S_IWUSR; }

mode_t with_attributes(mode_t kept, std::uint32_t attributes) {
  return (attributes & 0x01) != 0 ? (kept & ~0222) : (kept | S_IWUSR);
}

}  // namespace

bool set_attributes_normal(const char* path) { return change_mode(path, writable, 0); }

bool set_attributes(const char* path, std::uint32_t attributes) {
  return change_mode(path, with_attributes, attributes);
}

bool delete_file(const char* path) {
  char local[local_path_size];
  const char* name = nullptr;
  if (!to_local_path(path, local)) return false;
  const int folder = open_parent(local, &name);
  // Only what we could have written goes: a file or a link. A pipe, a device or a
  // socket of that name (a stale NAME.kelvra-new, say) is someone else's and stays.
  // Windows refuses to delete a read-only file; so does this, so that the tests meet
  // that refusal here too.
  struct stat st;
  const bool found = folder != -1 && fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
  bool ours = found && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
  if (found && !ours) errno = EEXIST;
  if (ours && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) {
    errno = EACCES;
    ours = false;
  }
  const bool done = ours && unlinkat(folder, name, 0) == 0;
  close_parent(folder);
  return done;
}

NameKind name_kind(const char* path) {
  char local[local_path_size];
  struct stat st;
  if (!to_local_path(path, local) || lstat(local, &st) != 0) return NameKind::none;
  if (S_ISLNK(st.st_mode)) return NameKind::link;
  return S_ISDIR(st.st_mode) ? NameKind::directory : NameKind::file;
}

const std::uint32_t error_link_in_path = ELOOP;
const bool opens_follow_folder_links = false;
const std::uint32_t error_damaged_data = EBADMSG;
const std::uint32_t error_directory_in_place = EISDIR;
const std::uint32_t error_name_too_long = ENAMETOOLONG;

namespace {

// Where the last separator of local stands; 0 when there is none.
std::size_t folder_part_length(const char* local) {
  const char* last = std::strrchr(local, '/');
  return last == nullptr ? 0 : static_cast<std::size_t>(last - local);
}

}  // namespace

ReplaceResult replace_file(const char* from, const char* to, std::uint32_t* error) {
  char local_from[local_path_size];
  char local_to[local_path_size];
  const char* from_name = nullptr;
  const char* to_name = nullptr;
  if (!to_local_path(from, local_from) || !to_local_path(to, local_to)) {
    *error = last_error();
    return ReplaceResult::failed;
  }
  // Both lie in one folder (the new file is made beside the old one): one walk serves
  // both names, and the rename can't be led into another folder.
  const std::size_t folder_length = folder_part_length(local_to);
  if (folder_part_length(local_from) != folder_length ||
      std::strncmp(local_from, local_to, folder_length) != 0) {
    *error = EXDEV;
    return ReplaceResult::failed;
  }
  if (held_replaces.load() > 0) {
    held_replaces.fetch_sub(1);
    *error = EBUSY;
    return ReplaceResult::in_use;
  }
  const int folder = open_parent(local_to, &to_name);
  from_name = local_from + (local_to[0] == '/' || folder_length == 0 ? 0 : folder_length + 1);
  // What NTFS tunnelling does, on the one time POSIX keeps: the file that takes a
  // name keeps the old file's time.
  struct stat old_file;
  const bool tunnel = tunnelling.load() && folder != -1 &&
                      fstatat(folder, to_name, &old_file, AT_SYMLINK_NOFOLLOW) == 0;
  const bool done = folder != -1 && renameat(folder, from_name, folder, to_name) == 0;
  *error = done ? 0 : last_error();
  if (done && tunnel) {
    const timespec times[2] = {old_file.st_atim, old_file.st_mtim};
    utimensat(folder, to_name, times, AT_SYMLINK_NOFOLLOW);
  }
  close_parent(folder);
  return done ? ReplaceResult::replaced : ReplaceResult::failed;
}

bool file_exists(const char* path) {
  char local[local_path_size];
  if (!to_local_path(path, local)) return false;
  // Only files count, as on Windows: a directory of the same name can't be started.
  struct stat st;
  return stat(local, &st) == 0 && !S_ISDIR(st.st_mode);
}

namespace {

DirectoryResult make_directory(const char* path) {
  char local[local_path_size];
  const char* name = nullptr;
  if (!to_local_path(path, local)) return DirectoryResult::other;
  // Most calls are for a folder an earlier entry made: found in one call, no link on
  // the way.
  const int there = local[0] == '/' ? -2 : open_in_one_step(local, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  if (there >= 0) {
    close(there);
    return DirectoryResult::exists;
  }
  const int folder = open_parent(local, &name);
  const bool made = folder != -1 && mkdirat(folder, name, 0777) == 0;
  const int error = errno;
  close_parent(folder);
  if (made) return DirectoryResult::created;
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return DirectoryResult::not_found;
    case EEXIST:
      return DirectoryResult::exists;
    default:
      return DirectoryResult::other;
  }
}

}  // namespace

DirectoryResult create_directory(const char* path) {
  DirectoryResult result = make_directory(path);
  void (*listener)(const char*, DirectoryResult) = directory_listener.load();
  if (listener != nullptr) listener(path, result);
  return result;
}

bool set_working_directory(const char* path) {
  char local[local_path_size];
  if (!to_local_path(path, local)) return false;
  return chdir(local) == 0;
}

bool get_working_directory(char* buffer, std::size_t size) {
  if (size == 0) return false;
  return getcwd(buffer, size) != nullptr;
}

namespace {
// Nested as on Windows: a Rename asked again from inside the first.
char saved_directories[saved_directory_depth][local_path_size];
unsigned saved_count = 0;
}  // namespace

bool save_working_directory() {
  if (saved_count == saved_directory_depth ||
      getcwd(saved_directories[saved_count], local_path_size) == nullptr) {
    return false;
  }
  ++saved_count;
  return true;
}

bool restore_working_directory() {
  return saved_count != 0 && chdir(saved_directories[--saved_count]) == 0;
}

void get_environment(const char* name, char* buffer, std::size_t size) {
  const char* value = std::getenv(name);
  copy_cut(value != nullptr ? value : "", buffer, size);
}

bool start_process(const char* file, const char* command_line, std::uint32_t* error) {
  // Never starts anything here: the programs named are Windows programs.
  pthread_mutex_lock(&start_guard);
  copy_cut(file, start_record.file, sizeof start_record.file);
  copy_cut(command_line, start_record.command_line, sizeof start_record.command_line);
  const std::uint32_t failure = next_start_error;
  next_start_error = 0;
  start_record.result = failure == 0;
  ++starts;
  pthread_mutex_unlock(&start_guard);
  if (failure != 0 && error != nullptr) *error = failure;
  return failure == 0;
}

bool start_through_shell(const char* file, const char* parameters) {
  pthread_mutex_lock(&start_guard);
  copy_cut(file, shell_start_record.file, sizeof shell_start_record.file);
  copy_cut(parameters, shell_start_record.parameters, sizeof shell_start_record.parameters);
  ++shell_starts;
  pthread_mutex_unlock(&start_guard);
  return true;
}

void yield() { sched_yield(); }

void pause(std::uint32_t milliseconds) {
  paused_for.fetch_add(milliseconds);
  timespec wait = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

void lock_message_area() { pthread_mutex_lock(&message_guard); }
void unlock_message_area() { pthread_mutex_unlock(&message_guard); }

// No window here: the tests count what would repaint one.
void invalidate_main_window() { ++repaints; }

// The packer reports failed writes through report_write_failure instead.
void show_write_failure_box() {}

void load_string(unsigned id, char* buffer, std::size_t size) {
  const char* text = "";
  switch (id) {
    case IDS_REPLACE: text = TEXT_REPLACE; break;
    case IDS_REPLACE_ALL: text = TEXT_REPLACE_ALL; break;
    case IDS_SKIP: text = TEXT_SKIP; break;
    case IDS_SKIP_ALL: text = TEXT_SKIP_ALL; break;
    case IDS_FILE_EXISTS: text = TEXT_FILE_EXISTS; break;
    case IDS_ALL_FILES: text = TEXT_ALL_FILES; break;
    case IDS_NEW_NAME: text = TEXT_NEW_NAME; break;
    case IDS_ALL_PATTERN: text = TEXT_ALL_PATTERN; break;
    case IDS_OK: text = TEXT_OK; break;
    case IDS_CANCEL: text = TEXT_CANCEL; break;
    case IDS_WEB_ADDRESS: text = TEXT_WEB_ADDRESS; break;
    case IDS_BANNER: text = TEXT_BANNER; break;
    case IDS_OUT_OF_MEMORY: text = TEXT_OUT_OF_MEMORY; break;
    case IDS_CORRUPTED: text = TEXT_CORRUPTED; break;
    case IDS_INFLATING: text = TEXT_INFLATING; break;
    case IDS_CANCELLED: text = TEXT_CANCELLED; break;
    case IDS_BAD_PASSWORD: text = TEXT_BAD_PASSWORD; break;
    case IDS_NEEDS_PASSWORD: text = TEXT_NEEDS_PASSWORD; break;
    case IDS_NO_DIRECTORY: text = TEXT_NO_DIRECTORY; break;
    case IDS_EXPAND_TO: text = TEXT_EXPAND_TO; break;
    case IDS_PASSWORD: text = TEXT_PASSWORD; break;
    case IDS_WRITE_FAILED: text = TEXT_WRITE_FAILED; break;
    default: break;
  }
  copy_cut(text, buffer, size);
}

void describe_error(std::uint32_t error, char* buffer, std::size_t size) {
  copy_cut(std::strerror(static_cast<int>(error)), buffer, size);
}

namespace testing {

const StartRecord* last_start() {
  pthread_mutex_lock(&start_guard);
  const StartRecord* record = starts > 0 ? &start_record : nullptr;
  pthread_mutex_unlock(&start_guard);
  return record;
}

int start_count() {
  pthread_mutex_lock(&start_guard);
  int n = starts;
  pthread_mutex_unlock(&start_guard);
  return n;
}

void reset_starts() {
  pthread_mutex_lock(&start_guard);
  std::memset(&start_record, 0, sizeof start_record);
  starts = 0;
  next_start_error = 0;
  std::memset(&shell_start_record, 0, sizeof shell_start_record);
  shell_starts = 0;
  pthread_mutex_unlock(&start_guard);
}

void fail_next_start(std::uint32_t error) {
  pthread_mutex_lock(&start_guard);
  next_start_error = error;
  pthread_mutex_unlock(&start_guard);
}

const ShellStartRecord* last_shell_start() {
  pthread_mutex_lock(&start_guard);
  const ShellStartRecord* record = shell_starts > 0 ? &shell_start_record : nullptr;
  pthread_mutex_unlock(&start_guard);
  return record;
}

int shell_start_count() {
  pthread_mutex_lock(&start_guard);
  int n = shell_starts;
  pthread_mutex_unlock(&start_guard);
  return n;
}

void fail_allocation_after(int n) { allocations_left.store(n < 0 ? -1 : n); }

int repaint_count() { return repaints.load(); }

void resolve_part_by_part(bool on) { part_by_part.store(on); }

void set_directory_listener(void (*listener)(const char* path, DirectoryResult result)) {
  directory_listener.store(listener);
}

void hold_replace_target(int times) { held_replaces.store(times); }

void tunnel_times(bool on) { tunnelling.store(on); }

std::uint32_t paused_milliseconds() { return paused_for.exchange(0); }

}  // namespace testing

}  // namespace kelvra::platform
