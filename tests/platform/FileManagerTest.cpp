#include "platform/FileManager.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"

namespace {

namespace fs = std::filesystem;
namespace fileManager = platform::fileManager;
using platform::Url;
using testing_support::namesIn;
using testing_support::readFile;
using testing_support::runInChild;
using testing_support::writeFile;

constexpr unsigned kNobody = 65534;

// The errno of the system_error that `action` throws; 0 when it throws nothing.
int errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::system_error& error) {
    return error.code().value();
  }
  return 0;
}

// Every path below `folder`, sorted, so that a test can tell that nothing was left behind.
std::vector<std::string> treeOf(const fs::path& folder) {
  std::vector<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    paths.push_back(fs::relative(entry.path(), folder).string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

class FileManagerTest : public ::testing::Test {
 protected:
  Url file(const std::string& relative) const {
    return Url::fileURL((temp / relative).string(), false);
  }
  Url folder(const std::string& relative) const {
    return Url::fileURL((temp / relative).string(), true);
  }

  testing_support::TempFolder temp;
};

TEST_F(FileManagerTest, ExistenceFollowsOrKeepsSymbolicLinks) {
  writeFile(temp / "file.m4a", "audio");
  fs::create_directory(temp / "folder");
  fs::create_symlink("file.m4a", temp / "link-to-file");
  fs::create_directory_symlink("folder", temp / "link-to-folder");
  fs::create_symlink("missing", temp / "dangling");
  struct Case {
    std::string path;
    bool fileExists;
    bool isDirectory;
    bool itemExists;
  };
  const Case cases[] = {
      {"file.m4a", true, false, true},         {"folder", true, true, true},
      {"link-to-file", true, false, true},     {"link-to-folder", true, true, true},
      {"dangling", false, false, true},        {"missing", false, false, false},
      {"file.m4a/below", false, false, false}, {"dangling/below", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    for (const bool markedAsFolder : {false, true}) {
      const Url url = markedAsFolder ? folder(c.path) : file(c.path);
      bool isDirectory = false;
      EXPECT_EQ(fileManager::fileExists(url, &isDirectory), c.fileExists);
      EXPECT_EQ(isDirectory, c.isDirectory);
      EXPECT_EQ(fileManager::fileExists(url), c.fileExists);
      EXPECT_EQ(fileManager::itemExists(url), c.itemExists);
    }
  }
}

TEST_F(FileManagerTest, UrlsThatNameNoLocalPathFindNothingAndCreateNothing) {
  fs::create_directory(temp / "folder");
  const Url unusable[] = {
      *Url::parse("https://example.com" + temp.path().string() + "/folder"),
      // A C string would stop at the NUL and name the existing folder.
      Url::fileURL((temp / "folder").string() + std::string(1, '\0') + "/new", true),
  };
  for (const auto& url : unusable) {
    SCOPED_TRACE(url.absoluteString());
    EXPECT_FALSE(fileManager::fileExists(url));
    EXPECT_FALSE(fileManager::itemExists(url));
    EXPECT_EQ(errorOf([&] { fileManager::createDirectory(url, true); }), EINVAL);
    EXPECT_EQ(errorOf([&] { fileManager::moveItem(url, file("moved")); }), EINVAL);
  }
  EXPECT_EQ(treeOf(temp.path()), std::vector<std::string>{"folder"});
}

TEST_F(FileManagerTest, CreatesMissingParentsAndTakesAnExistingFolder) {
  const Url deep = folder("inbox/a/b/c");
  fileManager::createDirectory(deep, true);
  EXPECT_TRUE(fs::is_directory(temp / "inbox/a/b/c"));
  EXPECT_NO_THROW(fileManager::createDirectory(deep, true));
  EXPECT_NO_THROW(fileManager::createDirectory(folder("inbox"), true));
  EXPECT_EQ(errorOf([&] { fileManager::createDirectory(deep, false); }), EEXIST);
  EXPECT_EQ(errorOf([&] { fileManager::createDirectory(folder("x/y"), false); }), ENOENT);
  fileManager::createDirectory(folder("x"), false);
  EXPECT_TRUE(fs::is_directory(temp / "x"));
}

TEST_F(FileManagerTest, FolderThroughALinkToAFolderCounts) {
  fs::create_directory(temp / "real");
  fs::create_directory_symlink("real", temp / "link");
  EXPECT_NO_THROW(fileManager::createDirectory(folder("link"), true));
  fileManager::createDirectory(folder("link/new"), true);
  EXPECT_TRUE(fs::is_directory(temp / "real/new"));
}

TEST_F(FileManagerTest, ItemInTheWayFailsWithTheSystemsCodeLeavingNothingBehind) {
  writeFile(temp / "file", "keep");
  fs::create_symlink("nowhere", temp / "dangling");
  struct Case {
    std::string folder;
    int error;
  };
  const Case cases[] = {
      {"file", EEXIST},             // a regular file at the folder's own place
      {"file/inbox/new", ENOTDIR},  // a regular file above it
      {"dangling", EEXIST},
      {"new/" + std::string(300, 'n'), ENAMETOOLONG},  // fails after making "new"
      {"new/deeper/" + std::string(300, 'n') + "/more", ENAMETOOLONG},
  };
  const auto before = treeOf(temp.path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    EXPECT_EQ(errorOf([&] { fileManager::createDirectory(folder(c.folder), true); }), c.error);
    EXPECT_EQ(treeOf(temp.path()), before);
  }
  EXPECT_EQ(readFile(temp / "file"), "keep");
}

TEST_F(FileManagerTest, UnwritableParentFailsWithPermissionDenied) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  fs::create_directory(temp / "closed");
  fs::permissions(temp / "closed", static_cast<fs::perms>(0755));
  const Url target = folder("closed/inbox/new");
  const int status = runInChild(
      [&] { return errorOf([&] { fileManager::createDirectory(target, true); }); }, kNobody);
  EXPECT_EQ(status, EACCES);
  EXPECT_TRUE(namesIn(temp / "closed").empty());
}

TEST_F(FileManagerTest, ManyThreadsCreatingOneFolderAllSucceed) {
  const Url target = folder("inbox/a/b/c/d");
  std::vector<int> errors(8, -1);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < errors.size(); ++i) {
    threads.emplace_back(
        [&, i] { errors[i] = errorOf([&] { fileManager::createDirectory(target, true); }); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(errors, std::vector<int>(8, 0));
  EXPECT_TRUE(fs::is_directory(temp / "inbox/a/b/c/d"));
}

TEST_F(FileManagerTest, MoveRenamesAFileOrFolder) {
  writeFile(temp / "received.m4a", "audio");
  fileManager::moveItem(file("received.m4a"), file("Interview.m4a"));
  EXPECT_EQ(namesIn(temp.path()), std::vector<std::string>{"Interview.m4a"});
  EXPECT_EQ(readFile(temp / "Interview.m4a"), "audio");

  writeFile(temp / "folder/inside", "kept");
  fileManager::moveItem(folder("folder"), folder("renamed"));
  EXPECT_EQ(readFile(temp / "renamed/inside"), "kept");
  EXPECT_FALSE(fs::exists(temp / "folder"));
}

TEST_F(FileManagerTest, MoveNeverReplaces) {
  writeFile(temp / "a.m4a", "first");
  writeFile(temp / "b.m4a", "second");
  fs::create_directory(temp / "empty-folder");
  fs::create_symlink("nowhere", temp / "dangling");
  struct Case {
    std::string to;
    int error;
  };
  const Case cases[] = {{"b.m4a", EEXIST}, {"empty-folder", EEXIST}, {"dangling", EEXIST}};
  const auto before = treeOf(temp.path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to);
    EXPECT_EQ(errorOf([&] { fileManager::moveItem(file("a.m4a"), file(c.to)); }), c.error);
    EXPECT_EQ(treeOf(temp.path()), before);
  }
  EXPECT_EQ(readFile(temp / "a.m4a"), "first");
  EXPECT_EQ(readFile(temp / "b.m4a"), "second");
  EXPECT_EQ(errorOf([&] { fileManager::moveItem(file("missing"), file("c.m4a")); }), ENOENT);
}

// Installs a filter that refuses renameat2 as an old kernel or file system would.
bool refuseRenameat2(int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & 0xFFFF)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The moves of MoveNeverReplaces and MoveRenamesAFileOrFolder, where renameat2 is refused. Runs in
// a child process, which alone carries the filter; 0 when all held.
int movesWithoutRenameat2(const fs::path& root, int refusal) {
  const auto at = [&](const std::string& name, bool isDirectory = false) {
    return Url::fileURL((root / name).string(), isDirectory);
  };
  const auto failed = [](const char* what) {
    std::fprintf(stderr, "%s\n", what);
    return 1;
  };
  if (!refuseRenameat2(refusal)) return failed("cannot install the filter");
  if (errorOf([&] { fileManager::moveItem(at("a.m4a"), at("b.m4a")); }) != EEXIST) {
    return failed("a taken name was not refused");
  }
  if (readFile(root / "a.m4a") != "first" || readFile(root / "b.m4a") != "second") {
    return failed("a refused move changed a file");
  }
  if (errorOf([&] { fileManager::moveItem(at("folder", true), at("empty-folder", true)); }) !=
      EEXIST) {
    return failed("a folder replaced an empty folder");
  }
  if (!fs::exists(root / "folder/inside")) return failed("a refused folder move lost the folder");
  fileManager::moveItem(at("a.m4a"), at("c.m4a"));
  if (fs::exists(root / "a.m4a") || readFile(root / "c.m4a") != "first") {
    return failed("file not moved");
  }
  fileManager::moveItem(at("folder", true), at("renamed", true));
  if (fs::exists(root / "folder") || readFile(root / "renamed/inside") != "kept") {
    return failed("folder not moved");
  }
  return 0;
}

TEST_F(FileManagerTest, MoveNeverReplacesWhereRenameat2IsRefused) {
  for (const int refusal : {EINVAL, ENOSYS}) {
    SCOPED_TRACE(refusal);
    const fs::path root = temp / std::to_string(refusal);
    writeFile(root / "a.m4a", "first");
    writeFile(root / "b.m4a", "second");
    writeFile(root / "folder/inside", "kept");
    fs::create_directory(root / "empty-folder");
    EXPECT_EQ(runInChild([&] { return movesWithoutRenameat2(root, refusal); }), 0);
    EXPECT_EQ(treeOf(root), (std::vector<std::string>{"b.m4a", "c.m4a", "empty-folder", "renamed",
                                                      "renamed/inside"}));
  }
}

// $HOME set for one test; tests run one at a time, so changing the environment is safe here.
class HomeVariable {
 public:
  explicit HomeVariable(const char* value) {
    if (const char* old = std::getenv("HOME")) saved_ = old;  // NOLINT(concurrency-mt-unsafe)
    if (value == nullptr) {
      ::unsetenv("HOME");  // NOLINT(concurrency-mt-unsafe)
    } else {
      ::setenv("HOME", value, 1);  // NOLINT(concurrency-mt-unsafe)
    }
  }
  ~HomeVariable() {
    if (saved_) {
      ::setenv("HOME", saved_->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    } else {
      ::unsetenv("HOME");  // NOLINT(concurrency-mt-unsafe)
    }
  }
  HomeVariable(const HomeVariable&) = delete;
  HomeVariable& operator=(const HomeVariable&) = delete;

 private:
  std::optional<std::string> saved_;
};

TEST(FileManagerHomeTest, HomeComesFromTheEnvironment) {
  struct Case {
    const char* home;
    std::string expected;
  };
  const Case cases[] = {
      {"/home/someone", "file:///home/someone/"},
      {"/home/with space/", "file:///home/with%20space/"},
      {nullptr, "file:///"},
      {"", "file:///"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.home == nullptr ? "(unset)" : c.home);
    const HomeVariable home(c.home);
    const Url url = fileManager::homeDirectoryForCurrentUser();
    EXPECT_EQ(url.absoluteString(), c.expected);
    EXPECT_TRUE(url.hasDirectoryPath());
  }
}

TEST(FileManagerSecurityScopeTest, AccessIsNeverGranted) {
  const Url url = Url::fileURL("/tmp/anything.m4a", false);
  EXPECT_FALSE(fileManager::startAccessingSecurityScopedResource(url));
  fileManager::stopAccessingSecurityScopedResource(url);
}

}  // namespace
