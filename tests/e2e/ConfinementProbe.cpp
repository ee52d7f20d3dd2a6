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
//   connect-fd FD PATH  connect the UNIX socket inherited on descriptor FD to the socket at PATH
//   connect-tcp FD PORT connect the TCP socket inherited on descriptor FD to 127.0.0.1:PORT
//   bind-tcp FD         bind the TCP socket inherited on descriptor FD to 127.0.0.1, any port
//   listen FD           listen on the socket inherited on descriptor FD
//   call NAME           make the system call NAME with arguments that the kernel refuses at once
//                       (EBADF, EFAULT, EINVAL, ESRCH) where no filter stops it first: the
//                       answer is the filter's or the kernel's. NAME: see systemCalls below
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
#include <linux/sched.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/app/extension/ExtensionMain.hpp"
#include "platform/app/workspace/Workspace.hpp"
#include "share-extension/Entitlements.hpp"
#include "share-extension/ShareViewController.hpp"

namespace {

// The result of a raw system call: 0 on success, else the errno.
int outcome(long result) { return result < 0 ? errno : 0; }

// One call of each kind that the sandbox refuses, with arguments that make the kernel itself
// refuse it at once, so that none does anything should it get through.
int systemCall(const std::string& name) {
  struct Call {
    const char* name;
    long (*make)();
  };
  static constexpr Call calls[] = {
      {"io_uring_setup", [] { return ::syscall(SYS_io_uring_setup, 1, nullptr); }},
      {"io_uring_enter", [] { return ::syscall(SYS_io_uring_enter, -1, 0, 0, 0, nullptr, 0); }},
      {"io_uring_register", [] { return ::syscall(SYS_io_uring_register, -1, 0, nullptr, 0); }},
      {"connect", [] { return ::syscall(SYS_connect, -1, nullptr, 0); }},
      {"bind", [] { return ::syscall(SYS_bind, -1, nullptr, 0); }},
      {"listen", [] { return ::syscall(SYS_listen, -1, 0); }},
      {"accept", [] { return ::syscall(SYS_accept, -1, nullptr, nullptr); }},
      {"accept4", [] { return ::syscall(SYS_accept4, -1, nullptr, nullptr, 0); }},
      {"unshare", [] { return ::syscall(SYS_unshare, -1L); }},
      {"setns", [] { return ::syscall(SYS_setns, -1, 0); }},
      // A thread in a new user namespace: no such thing, so nothing is made.
      {"clone CLONE_NEWUSER",
       [] {
         return ::syscall(SYS_clone, CLONE_NEWUSER | CLONE_THREAD, nullptr, nullptr, nullptr, 0);
       }},
      {"clone CLONE_NEWNET",
       [] {
         return ::syscall(SYS_clone, CLONE_NEWNET | CLONE_THREAD, nullptr, nullptr, nullptr, 0);
       }},
      {"clone3", [] { return ::syscall(SYS_clone3, nullptr, 0); }},
      {"ptrace", [] { return ::syscall(SYS_ptrace, PTRACE_ATTACH, 0, nullptr, nullptr); }},
      {"process_vm_readv",
       [] { return ::syscall(SYS_process_vm_readv, 0, nullptr, 0, nullptr, 0, 1); }},
      {"process_vm_writev",
       [] { return ::syscall(SYS_process_vm_writev, 0, nullptr, 0, nullptr, 0, 1); }},
      {"userfaultfd", [] { return ::syscall(SYS_userfaultfd, -1); }},
      {"perf_event_open", [] { return ::syscall(SYS_perf_event_open, nullptr, 0, -1, -1, 0); }},
      {"bpf", [] { return ::syscall(SYS_bpf, -1, nullptr, 0); }},
      {"keyctl", [] { return ::syscall(SYS_keyctl, -1, 0, 0, 0, 0); }},
      {"add_key", [] { return ::syscall(SYS_add_key, nullptr, nullptr, nullptr, 0, 0); }},
      {"request_key", [] { return ::syscall(SYS_request_key, nullptr, nullptr, nullptr, 0); }},
      {"mount", [] { return ::syscall(SYS_mount, nullptr, nullptr, nullptr, 0, nullptr); }},
      {"umount2", [] { return ::syscall(SYS_umount2, nullptr, 0); }},
      {"pivot_root", [] { return ::syscall(SYS_pivot_root, nullptr, nullptr); }},
      {"chroot", [] { return ::syscall(SYS_chroot, nullptr); }},
      {"open_tree", [] { return ::syscall(SYS_open_tree, -1, nullptr, 0); }},
      {"fsopen", [] { return ::syscall(SYS_fsopen, nullptr, 0); }},
      {"init_module", [] { return ::syscall(SYS_init_module, nullptr, 0, nullptr); }},
      {"finit_module", [] { return ::syscall(SYS_finit_module, -1, nullptr, 0); }},
      {"kexec_load", [] { return ::syscall(SYS_kexec_load, 0, 0, nullptr, -1L); }},
      {"open_by_handle_at", [] { return ::syscall(SYS_open_by_handle_at, -1, nullptr, 0); }},
      // Leaves the address space unrandomised at the next exec.
      {"personality ADDR_NO_RANDOMIZE", [] { return ::syscall(SYS_personality, 0x0040000); }},
  };
  for (const auto& call : calls) {
    if (name == call.name) return outcome(call.make());
  }
  return EINVAL;
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

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
  if (operation == "connect-fd") {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    other.copy(address.sun_path, sizeof address.sun_path - 1);
    return outcome(
        ::connect(std::stoi(path), reinterpret_cast<const sockaddr*>(&address), sizeof address));
  }
  if (operation == "connect-tcp" || operation == "bind-tcp") {
    const auto address = loopback(operation == "bind-tcp" ? 0 : std::stoi(other));
    const auto* raw = reinterpret_cast<const sockaddr*>(&address);
    return outcome(operation == "bind-tcp" ? ::bind(std::stoi(path), raw, sizeof address)
                                           : ::connect(std::stoi(path), raw, sizeof address));
  }
  if (operation == "listen") return outcome(::listen(std::stoi(path), 1));
  if (operation == "call") return systemCall(path);
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
