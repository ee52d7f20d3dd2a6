#include "platform/app/workspace/CommandLineRoom.hpp"

#include <algorithm>
#include <climits>
#include <system_error>
#include <utility>

#include <unistd.h>

extern char** environ;  // NOLINT(readability-redundant-declaration): unistd.h declares it only with
                        // _GNU_SOURCE

namespace platform {
namespace {

// The kernel's own bounds on the room: never less than 32 pages, never more than three quarters
// of its 8 MiB default stack, whatever the stack limit says.
constexpr std::size_t leastRoom = std::size_t{128} << 10;
constexpr std::size_t mostRoom = std::size_t{6} << 20;
// Exec copies the program's path beside the arguments; for a script the kernel puts the
// interpreter's line (at most 256 bytes) and the script's path in front of them as well.
constexpr std::size_t margin = std::size_t{4} * PATH_MAX;

std::size_t sizeOf(const std::vector<std::string>& words) {
  std::size_t size = 0;
  for (const auto& word : words) size += argumentSize(word);
  return size;
}

std::size_t environmentSize() {
  std::size_t size = sizeof(char*);  // the null pointer that ends it
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    size += argumentSize(*entry);
  }
  return size;
}

std::size_t argumentMaximum() {
  const long maximum = ::sysconf(_SC_ARG_MAX);
  if (maximum <= 0) return leastRoom;
  return std::clamp(static_cast<std::size_t>(maximum), leastRoom, mostRoom);
}

// `line` with the files [first, last) of `files` in place of its own.
FileCommandLine withFiles(const FileCommandLine& line, const std::vector<std::string>& files,
                          std::size_t first, std::size_t last) {
  using Difference = std::vector<std::string>::difference_type;
  return {line.before,
          {files.begin() + static_cast<Difference>(first),
           files.begin() + static_cast<Difference>(last)},
          line.after};
}

void startHalvingOnE2BIG(const FileCommandLine& line, const ProgramStart& start,
                         std::vector<pid_t>& started) {
  try {
    started.push_back(start(line.arguments()));
  } catch (const std::system_error& failure) {
    if (failure.code() != std::errc::argument_list_too_long || line.files.size() < 2) throw;
    const std::size_t half = line.files.size() / 2;
    startHalvingOnE2BIG(withFiles(line, line.files, 0, half), start, started);
    startHalvingOnE2BIG(withFiles(line, line.files, half, line.files.size()), start, started);
  }
}

}  // namespace

std::vector<std::string> FileCommandLine::arguments() const {
  std::vector<std::string> argv;
  argv.reserve(before.size() + files.size() + after.size());
  argv.insert(argv.end(), before.begin(), before.end());
  argv.insert(argv.end(), files.begin(), files.end());
  argv.insert(argv.end(), after.begin(), after.end());
  return argv;
}

std::size_t argumentSize(std::string_view argument) { return argument.size() + 1 + sizeof(char*); }

std::size_t argumentRoom() {
  const std::size_t taken = environmentSize() + margin;
  const std::size_t maximum = argumentMaximum();
  return maximum > taken ? maximum - taken : 0;
}

std::vector<FileCommandLine> fitCommandLine(FileCommandLine line, std::size_t room) {
  if (line.files.empty()) return {std::move(line)};
  // argv's own null pointer, and the words that every line repeats.
  const std::size_t fixed = sizeof(char*) + sizeOf(line.before) + sizeOf(line.after);
  std::vector<FileCommandLine> lines;
  std::size_t first = 0;
  std::size_t used = fixed;
  for (std::size_t i = 0; i < line.files.size(); ++i) {
    const std::size_t size = argumentSize(line.files[i]);
    if (i > first && used + size > room) {
      lines.push_back(withFiles(line, line.files, first, i));
      first = i;
      used = fixed;
    }
    used += size;
  }
  lines.push_back(withFiles(line, line.files, first, line.files.size()));
  return lines;
}

std::vector<pid_t> startInTurn(const std::vector<FileCommandLine>& lines,
                               const ProgramStart& start) {
  std::vector<pid_t> started;
  for (const auto& line : lines) startHalvingOnE2BIG(line, start, started);
  return started;
}

}  // namespace platform
