#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "platform/Url.hpp"

// The file system, as the intake core needs it. Every operation may be called from any thread.
// Failures are std::system_error whose code() is the operating system's errno, unchanged. A URL
// that is not a file URL names no local item (EINVAL where an operation needs one).
namespace platform::fileManager {

// True when an item lies at the URL's path, following a final symbolic link (a dangling link
// counts as nothing). `isDirectory`, when given, is set to whether that item is a folder.
bool fileExists(const Url& url, bool* isDirectory = nullptr);

// True when anything at all lies at the path, a dangling symbolic link included.
bool itemExists(const Url& url);

// Creates the folder; with `withIntermediateDirectories`, missing folders above it too, and a
// folder that exists already is success. On failure the folders this call made are removed again.
// Throws std::system_error.
void createDirectory(const Url& folder, bool withIntermediateDirectories);

// Copies the file or folder at `from` to `to`, which must not exist. The copy appears under `to`
// only once complete: a file is written without a name (O_TMPFILE) and then linked under `to`, so
// that a copy cut short, even by a kill, leaves nothing; a folder, and a file where the file
// system makes no unnamed files, is written under a hidden temporary name beside `to`, then
// renamed without replacing. On failure nothing is left behind and nothing is ever replaced: an
// item already at `to` makes it fail with EEXIST. Data is copied in the kernel (reflink, then
// copy_file_range, then read/write) in constant memory, and holes stay holes. A source that is a
// pipe (a FIFO, or /dev/fd/N of an anonymous one) is read to its end, as long as a writer holds
// it; one that yields nothing fails with ENODATA, at once when no writer holds it, never waiting
// for one to come. Any other source that is no file or folder (a socket, a device) fails with
// EINVAL, and such entries and pipes inside a copied folder are left out. A source that is a
// symbolic link is copied as what it points to; links inside a copied folder stay links. A copy
// takes its source's permission bits less the umask, as cp does (set-id and sticky bits dropped);
// its dates are those of its making. Throws std::system_error.
void copyItem(const Url& from, const Url& to);

// Renames `from` to `to` within one file system, never replacing: an item at `to` makes it fail
// with EEXIST and leaves both as they were. Throws std::system_error.
void moveItem(const Url& from, const Url& to);

// Removes the item at `url`; a folder goes with everything inside it. Symbolic links are removed,
// never followed, also when one is swapped in while the removal runs. Throws std::system_error.
void removeItem(const Url& url);

struct DirectoryEntry {
  Url url;  // the folder's URL with the entry's name appended; folders marked as directories
  std::optional<std::chrono::system_clock::time_point> creationDate;      // statx birth time
  std::optional<std::chrono::system_clock::time_point> modificationDate;  // content modified
};

// The direct entries of `folder`, hidden ones included, in the order of their inode numbers (the
// order they lie in on disk, which makes examining or removing them all faster), each with its
// dates read in the same pass (a date the file system does not have is none).
// Throws std::system_error when the folder cannot be listed.
std::vector<DirectoryEntry> contentsOfDirectory(const Url& folder);

// The process's own idea of its home: $HOME, or "/" when unset or empty; a directory URL.
Url homeDirectoryForCurrentUser();

// Security-scoped access has no Linux counterpart: it is never granted, and files are read with
// the process's own rights.
bool startAccessingSecurityScopedResource(const Url& url);
void stopAccessingSecurityScopedResource(const Url& url);

}  // namespace platform::fileManager
