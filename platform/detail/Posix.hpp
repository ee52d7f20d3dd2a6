#pragma once

// The few POSIX idioms the platform layer repeats, written once: owning a descriptor, turning an
// errno into an exception, taking a URL's local path, opening beneath a folder, loops that survive
// signals and short reads, reading a folder and a symbolic link. Private to the platform layer;
// not installed.
//
// How failures come back. A failure is a std::system_error carrying the system's errno unchanged,
// thrown through throwSystemError() with "operation: path" as its text. Only three kinds of
// function answer otherwise, each saying so: wrappers of one system call whose callers decide by
// the errno (openAt, openBeneath: an invalid descriptor with errno set; readLinkAt: none with
// errno set), writers usable between fork and exec, where nothing may throw (writeAll, readAll:
// the errno, or -1 with errno set; linkDescriptorAt answers likewise, as its callers fall back
// on other ways for some errors), and answers where absence is normal (localPath: none for a URL
// that names no local item).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace platform {
class Url;
}

namespace platform::posix {

// Throws std::system_error carrying `error` unchanged (generic category), with the message
// "operation: path", or "operation" alone when `path` is empty.
[[noreturn]] void throwSystemError(int error, std::string_view operation,
                                   std::string_view path = {});

// Owns one open descriptor and closes it when it goes. Move-only; -1 stands for none.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Hands the descriptor to the caller, who must close it; this owns none afterwards.
  int release() noexcept;
  // Closes now and throws when close fails: some file systems (NFS among them) report a failed
  // write only then. An interrupted close has released the descriptor already and counts as done.
  void closeReportingErrors(std::string_view operation, std::string_view path = {});

 private:
  int fd_ = -1;
};

// openat() retried while a signal interrupts it, always close-on-exec and never taking a
// controlling terminal. Invalid, with errno set, on failure.
FileDescriptor openAt(int folder, const char* path, int flags, mode_t mode = 0) noexcept;

// A path split at its last "/" into the folder that holds the item it names and the item's name:
// "/a/b" gives "/a" and "b", "/b" gives "/" and "b", "b" gives "." and "b". A path ending in "/"
// ("/" itself too) gives an empty name: it names no item by a name in its folder.
struct ParentAndName {
  std::string parent;
  std::string name;
};
ParentAndName parentAndName(std::string_view path);

// Whether openBeneath() may pass through a mount point on its way.
enum class Mounts { crossed, refused };

// Opens `path` beneath the open folder `folder` (or AT_FDCWD) without following a symbolic link
// anywhere on the way: a link met fails with ELOOP. A last component that is a link answers as
// openat's O_NOFOLLOW makes it when `flags` hold O_NOFOLLOW (ENOTDIR with O_DIRECTORY, the link
// itself with O_PATH). An absolute path or a ".." component fails with EXDEV, even where it
// would stay beneath; with Mounts::refused, so does a mount point on the way, the last component
// included. Empty and "." components are skipped. One openat2() where the kernel has it; where
// it answers ENOSYS (an older kernel) or EPERM (a filter that refuses it), a walk of one openat()
// per component does the same. Always close-on-exec, never taking a controlling terminal.
// Invalid, with errno set, on failure.
FileDescriptor openBeneath(int folder, const char* path, int flags, mode_t mode = 0,
                           Mounts mounts = Mounts::crossed);

// The path of a file URL, or none for a URL the operating system cannot take: one that is not a
// file URL, or whose path holds a NUL, which a C string would cut short to name another item.
std::optional<std::string> localPath(const Url& url);
// As localPath(), throwing EINVAL ("operation: url") where it gives none.
std::string requireLocalPath(const Url& url, std::string_view operation);

// Opens `path`, following a final link, to read the file or list the folder it names; `info`
// gets its status. What is neither (a pipe, a socket, a device) is refused with EINVAL, without
// waiting for a pipe's writer. Invalid, with errno set, on failure.
FileDescriptor openFileOrFolder(const char* path, struct stat& info) noexcept;
// As openFileOrFolder(), but a pipe (a FIFO, or an anonymous pipe named by /dev/fd/N) is opened
// too, and stays non-blocking: opening it never waits for a writer, and its first read tells
// whether one holds it (EAGAIN) or none does and nothing is left in it (0).
FileDescriptor openFileFolderOrPipe(const char* path, struct stat& info) noexcept;

// Writes all `size` bytes, going on after signals and short writes. 0, or the errno of the write
// that failed. Async-signal-safe: usable between fork and exec.
int writeAll(int fd, const void* data, std::size_t size) noexcept;
// Reads until `size` bytes have come or the file ends, going on after signals. The count read
// (short only at the end), or -1 with errno set. Async-signal-safe.
ssize_t readAll(int fd, void* data, std::size_t size) noexcept;

// Gives the file open on `fd` (an unnamed O_TMPFILE file, or any file to link again) the name
// `name` in the open folder `folder`, never replacing: a taken name fails with EEXIST. Linking
// the descriptor itself takes a privilege (CAP_DAC_READ_SEARCH); its /proc link, tried next, does
// not. 0, or the errno of the failure (ENOENT or EPERM where neither way works here).
int linkDescriptorAt(int fd, int folder, const char* name) noexcept;

// The entries of an open folder other than "." and "..", from its first. Reads through its own
// duplicate of the descriptor, so `folder` stays the caller's and usable. One thread per reader.
class DirectoryReader {
 public:
  // Throws std::system_error ("operation: path") when the folder cannot be read.
  DirectoryReader(int folder, std::string_view operation, std::string_view path = {});
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;
  ~DirectoryReader();

  // The next entry, valid until the following call, or nullptr at the end. Throws
  // std::system_error with the constructor's operation and path when reading fails.
  const dirent* next();

 private:
  DIR* stream_ = nullptr;
  std::string operation_;
  std::string path_;
};

// The target of the symbolic link `path` (relative to the open folder `folder`, or AT_FDCWD),
// read whole however long it is; `sizeHint` (lstat's st_size) saves a second read. None, with
// errno set, when it cannot be read.
std::optional<std::string> readLinkAt(int folder, const char* path, std::size_t sizeHint = 0);

// A new folder, open to this user only, named `namePrefix` and six random characters, in $TMPDIR
// (else /tmp). Returns its path; throws std::system_error ("create temporary folder: <pattern>")
// when it cannot be made.
std::string makeTemporaryFolder(std::string_view namePrefix);

}  // namespace platform::posix
