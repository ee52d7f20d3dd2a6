#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace platform {

// One program's command line that carries files: the words before them (the program first), the
// files, and the words after them. A program that takes many files at once may get them over
// several such command lines, each with the same words around its share of the files, when all
// of them do not fit in one.
struct FileCommandLine {
  std::vector<std::string> before;
  std::vector<std::string> files;
  std::vector<std::string> after;

  // The whole command line: the words before, the files, the words after.
  std::vector<std::string> arguments() const;

  friend bool operator==(const FileCommandLine&, const FileCommandLine&) = default;
};

// What one argument takes of exec's room: its bytes, its NUL and its pointer in argv.
std::size_t argumentSize(std::string_view argument);

// The room, in argumentSize() units, that exec leaves for the arguments of a program started with
// this process's environment: sysconf(_SC_ARG_MAX) (a quarter of the stack limit, or 128 KiB when
// that is less; at most the kernel's own 6 MiB) less what the environment takes, counted the same
// way, and a margin for what exec copies beside them: the program's path, and an interpreter's
// words in front of a script. 0 when the environment alone takes it all.
std::size_t argumentRoom();

// `line` spread over as few command lines as fit `room` (see argumentRoom()), its files in order:
// each line has the same words before and after, and the next files that fit with them. A file
// that does not fit even alone goes on a line of its own, which exec will then refuse (E2BIG):
// files are never left out. A line without files is returned as it is.
std::vector<FileCommandLine> fitCommandLine(FileCommandLine line, std::size_t room);

// Starts one command line and returns the program's process id; throws std::system_error with
// exec's errno when it cannot start it.
using ProgramStart = std::function<pid_t(const std::vector<std::string>& argv)>;

// Starts each of `lines` in turn with `start` and returns the process ids in order. Where exec
// still finds a line too long (E2BIG), as when the environment grew since the lines were fitted,
// its files are started in two halves instead, each halved again for as long as exec refuses it.
// Throws what
// `start` throws at the first line that could not be started (E2BIG for a line that holds one
// file, or none); the programs started before it keep running.
std::vector<pid_t> startInTurn(const std::vector<FileCommandLine>& lines,
                               const ProgramStart& start);

}  // namespace platform
