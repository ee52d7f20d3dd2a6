#pragma once

// The few POSIX idioms the platform layer repeats, written once: owning a descriptor, turning an
// errno into an exception, taking a URL's local path, loops that survive signals and short reads,
// reading a folder and a symbolic link. Private to the platform layer; not installed.

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
// Copies what `from` yields, from its current offset to its end, into `to` through one buffer.
// 0, or the errno of the read or write that failed.
int copyToEnd(int from, int to);

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
