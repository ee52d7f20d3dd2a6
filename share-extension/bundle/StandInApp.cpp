// A stand-in for the KelpWord application in the demonstration bundle: it records what it was
// asked to open, so that a demonstration or a test can show it.
//
//   KelpWord FILE…   appends "program: <its own path>" and one "file: …" line per FILE, then a
//                    blank line, to $KELPWORD_STAND_IN_RECORD, or to "KelpWord opened.txt"
//                    beside its bundle when that is unset.
//   KelpWord --stay  records nothing and runs until it is ended: a running instance.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::filesystem::path recordFile(const std::filesystem::path& self) {
  if (const char* named = std::getenv("KELPWORD_STAND_IN_RECORD"); named && *named) return named;
  // self is KelpWord.app/Contents/MacOS/<program>.
  return self.parent_path().parent_path().parent_path().parent_path() / "KelpWord opened.txt";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--stay") == 0) {
    while (true) ::pause();
  }
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  std::string record = "program: " + self.string() + "\n";
  for (int i = 1; i < argc; ++i) record += std::string("file: ") + argv[i] + "\n";
  record += "\n";
  // One write: instances started side by side (one per file) never mix their lines.
  const int fd = ::open(recordFile(self).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
    std::perror("KelpWord stand-in");
    return 1;
  }
  ::close(fd);
  return 0;
}
