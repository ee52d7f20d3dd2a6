// kelpword-share with a probe inside its sandbox: once the sheet is shown, and before the share
// runs as usual, it tries each file operation that $CONFINEMENT_PROBE lists, one per line,
// fields separated by tabs:
//
//   create PATH         open a new file for writing, and write to it
//   append PATH         open an existing file for writing, and write to it
//   truncate PATH       truncate a file by its path
//   read PATH           open a file for reading, and read it
//   list PATH           list a folder
//   mkdir PATH          make a folder
//   remove PATH         remove a file or an empty folder
//   rename PATH TARGET  rename, never replacing
//   symlink PATH TEXT   make a symbolic link holding TEXT
//   tiocsti FD          push a character into the terminal open on descriptor FD
//   kill PID            send SIGTERM to process PID
//   connect PATH        make a UNIX socket and connect it to the socket at PATH
//   socketpair          make a pair of connected UNIX sockets
//   race INBOX APPS     a compromised extension against the launch broker: makes INBOX/flip a
//                       link to APPS (which holds KelpWord.app) and INBOX/flip-fake/KelpWord.app a
//                       fake KelpWord whose program runs INBOX/share/evil.sh, swaps the two with
//                       RENAME_EXCHANGE as fast as it can, and meanwhile has the workspace open
//                       INBOX/share/evil.sh with INBOX/flip/KelpWord.app 200 times; prints
//                       "started S refused R" (R: refused with EPERM or ENOENT) in place of OK
//
// and prints one line per operation on standard error: "probe: <line>: OK", or the errno's
// name in place of OK (EACCES, EXDEV, …).
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/app/extension/ExtensionMain.hpp"
#include "platform/app/workspace/Workspace.hpp"
#include "share-extension/Entitlements.hpp"
#include "share-extension/ShareViewController.hpp"

namespace {

// 0 on success, else the errno.
int attempt(const std::string& operation, const std::string& path, const std::string& other) {
  const char* p = path.c_str();
  if (operation == "create" || operation == "append" || operation == "read") {
    const int flags = operation == "create"   ? O_WRONLY | O_CREAT | O_EXCL
                      : operation == "append" ? O_WRONLY | O_APPEND
                                              : O_RDONLY;
    const int fd = ::open(p, flags | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    char byte = 'p';
    const ssize_t done = operation == "read" ? ::read(fd, &byte, 1) : ::write(fd, "probe", 5);
    const int error = done < 0 ? errno : 0;
    ::close(fd);
    return error;
  }
  if (operation == "truncate") return ::truncate(p, 0) == 0 ? 0 : errno;
  if (operation == "list") {
    DIR* folder = ::opendir(p);
    if (folder == nullptr) return errno;
    while (::readdir(folder) != nullptr) {  // NOLINT(concurrency-mt-unsafe): own stream
    }
    ::closedir(folder);
    return 0;
  }
  if (operation == "mkdir") return ::mkdir(p, 0755) == 0 ? 0 : errno;
  if (operation == "remove") return std::remove(p) == 0 ? 0 : errno;
  if (operation == "rename") {
    return ::renameat2(AT_FDCWD, p, AT_FDCWD, other.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
  }
  if (operation == "symlink") return ::symlink(other.c_str(), p) == 0 ? 0 : errno;
  if (operation == "tiocsti") {
    const char typed = ':';
    return ::ioctl(std::stoi(path), TIOCSTI, &typed) == 0 ? 0 : errno;
  }
  if (operation == "kill") return ::kill(std::stoi(path), SIGTERM) == 0 ? 0 : errno;
  if (operation == "connect") {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int error =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
    ::close(fd);
    return error;
  }
  if (operation == "socketpair") {
    std::array<int, 2> pair{};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()) != 0) return errno;
    ::close(pair[0]);
    ::close(pair[1]);
    return 0;
  }
  return EINVAL;
}

constexpr int raceRequests = 200;

// The race of the "race" operation; "started S refused R", or the first unexpected error.
std::string race(const std::string& inbox, const std::string& apps) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::create_directories(inbox + "/share", error);
  fs::create_directories(inbox + "/flip-fake/KelpWord.app/Contents/MacOS", error);
  fs::create_directory_symlink(apps, inbox + "/flip", error);
  if (error) return error.message();
  const std::string evil = inbox + "/share/evil.sh";
  const std::string fake = inbox + "/flip-fake/KelpWord.app/Contents/MacOS/KelpWord";
  for (const auto& [path, text] :
       {std::pair{fake, std::string("#!/bin/sh\nexec /bin/sh \"$1\"\n")},
        std::pair{evil, std::string("#!/bin/sh\necho pwned > \"${0%/*}/../../pwned\"\n")}}) {
    std::ofstream(path) << text;
    fs::permissions(path, fs::perms::owner_all, error);
  }
  std::ofstream(inbox + "/flip-fake/KelpWord.app/Contents/Info.plist")
      << "<plist><dict><key>CFBundleIdentifier</key><string>com.brenvik.kelpword</string>"
         "<key>CFBundleExecutable</key><string>KelpWord</string></dict></plist>";

  std::atomic<bool> racing = true;
  std::thread swapper([&] {
    const std::string a = inbox + "/flip";
    const std::string b = inbox + "/flip-fake";
    while (racing) ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
  });
  int started = 0;
  int refused = 0;
  std::string unexpected;
  const auto application = platform::Url::fileURL(inbox + "/flip/KelpWord.app", true);
  for (int request = 0; request < raceRequests && unexpected.empty(); ++request) {
    std::promise<std::optional<std::error_code>> answered;
    platform::Workspace::shared()->openURLs(
        {platform::Url::fileURL(evil, false)}, application, {},
        [&](auto /*application*/, std::optional<std::error_code> failure) {
          answered.set_value(failure);
        });
    const auto failure = answered.get_future().get();
    if (!failure) {
      ++started;
    } else if (*failure == std::errc::operation_not_permitted ||
               *failure == std::errc::no_such_file_or_directory) {
      ++refused;
    } else {
      unexpected = failure->message();
    }
  }
  racing = false;
  swapper.join();
  if (!unexpected.empty()) return unexpected;
  return "started " + std::to_string(started) + " refused " + std::to_string(refused);
}

void probe() {
  const char* listed = std::getenv("CONFINEMENT_PROBE");  // NOLINT(concurrency-mt-unsafe)
  if (listed == nullptr) return;
  std::istringstream lines(listed);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string operation;
    std::string path;
    std::string other;
    std::getline(fields, operation, '\t');
    std::getline(fields, path, '\t');
    std::getline(fields, other, '\t');
    if (operation == "race") {
      std::fprintf(stderr, "probe: %s: %s\n", line.c_str(), race(path, other).c_str());
      continue;
    }
    const int error = attempt(operation, path, other);
    std::fprintf(stderr, "probe: %s: %s\n", line.c_str(),
                 error == 0 ? "OK" : strerrorname_np(error));
  }
}

// The share extension's own controller, with the probe run first.
class ProbingController final : public platform::ViewController {
 public:
  ProbingController(std::optional<std::string> nibName, std::optional<platform::Bundle> bundle)
      : platform::ViewController(nibName, bundle),
        share_(std::make_shared<KelpWordShare::ShareViewController>(std::move(nibName),
                                                                    std::move(bundle))) {}

  void loadView() override { setView(share_->view()); }
  void viewDidAppear() override {
    platform::ViewController::viewDidAppear();
    probe();
    share_->setExtensionContext(extensionContext());
    share_->viewDidAppear();
  }

 private:
  std::shared_ptr<KelpWordShare::ShareViewController> share_;
};

}  // namespace

int main(int argc, char** argv) {
  return platform::extensionMain(argc, argv, platform::principalClass<ProbingController>(),
                                 KelpWordShare::entitlements);
}
