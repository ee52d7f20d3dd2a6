#include "platform/app/sandbox/Confinement.hpp"

#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/detail/Posix.hpp"

namespace platform {
namespace {

// The access rights by the ABI version that brought them. Older kernel headers lack the later
// ones, so they are spelled out here.
constexpr std::uint64_t writeFile = 1ULL << 1;
constexpr std::uint64_t removeDir = 1ULL << 4;
constexpr std::uint64_t removeFile = 1ULL << 5;
constexpr std::uint64_t makeChar = 1ULL << 6;
constexpr std::uint64_t makeDir = 1ULL << 7;
constexpr std::uint64_t makeReg = 1ULL << 8;
constexpr std::uint64_t makeSock = 1ULL << 9;
constexpr std::uint64_t makeFifo = 1ULL << 10;
constexpr std::uint64_t makeBlock = 1ULL << 11;
constexpr std::uint64_t makeSym = 1ULL << 12;
constexpr std::uint64_t refer = 1ULL << 13;     // ABI 2
constexpr std::uint64_t truncate = 1ULL << 14;  // ABI 3
constexpr std::uint64_t ioctlDev = 1ULL << 15;  // ABI 5

// Network rights (ABI 4): binding and connecting TCP sockets.
constexpr std::uint64_t bindTcp = 1ULL << 0;
constexpr std::uint64_t connectTcp = 1ULL << 1;

// Scopes (ABI 6): what the process may not reach outside its confinement.
constexpr std::uint64_t scopeAbstractUnixSocket = 1ULL << 0;
constexpr std::uint64_t scopeSignal = 1ULL << 1;

// The ruleset's attributes as ABI 6 knows them; older headers stop after the first field. An
// older kernel takes the longer form as long as the fields it does not know are 0.
struct RulesetAttributes {
  std::uint64_t handledAccessFs = 0;
  std::uint64_t handledAccessNet = 0;
  std::uint64_t scoped = 0;
};

constexpr std::uint64_t abi1Writes = writeFile | removeDir | removeFile | makeChar | makeDir |
                                     makeReg | makeSock | makeFifo | makeBlock | makeSym;

// Reading, listing and executing are not handled: they stay allowed everywhere.
std::uint64_t handledRights(int abi) {
  std::uint64_t rights = abi1Writes;
  if (abi >= 2) rights |= refer;
  if (abi >= 3) rights |= truncate;
  if (abi >= 5) rights |= ioctlDev;
  return rights;
}

// Rights that Landlock accepts on a rule for a file rather than a folder.
constexpr std::uint64_t fileRights = writeFile | truncate | ioctlDev;

enum class PlaceKind { folder, file };

// Allows `rights` beneath the open place `place` (on it alone for a file). A folder that is none
// is left out.
void allow(int ruleset, int place, const std::string& path, PlaceKind kind, std::uint64_t rights) {
  struct stat info {};
  if (::fstat(place, &info) != 0) return;
  const bool isFolder = S_ISDIR(info.st_mode);
  if (kind == PlaceKind::folder && !isFolder) return;
  if (!isFolder) rights &= fileRights;
  if (rights == 0) return;
  landlock_path_beneath_attr rule{};
  rule.allowed_access = rights;
  rule.parent_fd = place;
  if (::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
    posix::throwSystemError(errno, "landlock_add_rule", path);
  }
}

// As above for the place at `path`; one that cannot be opened is left out.
void allow(int ruleset, const std::string& path, PlaceKind kind, std::uint64_t rights) {
  const auto place = posix::openAt(AT_FDCWD, path.c_str(), O_PATH);
  if (place.valid()) allow(ruleset, place.get(), path, kind, rights);
}

void restrictSelf(int ruleset) {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
    posix::throwSystemError(errno, "PR_SET_NO_NEW_PRIVS");
  if (::syscall(SYS_landlock_restrict_self, ruleset, 0U) != 0) {
    posix::throwSystemError(errno, "landlock_restrict_self");
  }
}

}  // namespace

namespace landlock {

int abiVersion() {
  const long version =
      ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return version > 0 ? static_cast<int>(version) : 0;
}

}  // namespace landlock

int confineWrites(const WritablePlaces& places) {
  const long version =
      ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (version <= 0)
    posix::throwSystemError(version == 0 ? ENOSYS : errno, "landlock_create_ruleset");
  const int abi = static_cast<int>(version);
  const std::uint64_t handled = handledRights(abi);

  RulesetAttributes attributes;
  attributes.handledAccessFs = handled;
  if (abi >= 6) attributes.scoped = scopeSignal;
  const posix::FileDescriptor ruleset(
      static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0U)));
  if (ruleset.get() < 0) posix::throwSystemError(errno, "landlock_create_ruleset");

  for (const auto& folder : places.folders) {
    allow(ruleset.get(), folder, PlaceKind::folder, handled);
  }
  for (const int folder : places.openFolders) {
    allow(ruleset.get(), folder, "an open folder", PlaceKind::folder, handled);
  }
  for (const auto& file : places.files) {
    allow(ruleset.get(), file, PlaceKind::file, handled & fileRights);
  }
  for (const auto& folder : places.deviceFolders) {
    allow(ruleset.get(), folder, PlaceKind::folder, handled & (writeFile | ioctlDev));
  }

  restrictSelf(ruleset.get());
  return abi;
}

bool refuseConnectionsOutside() {
  const int abi = landlock::abiVersion();
  if (abi < 4) return false;
  RulesetAttributes attributes;
  // Handled with no rule: no TCP port may be bound or connected to.
  attributes.handledAccessNet = bindTcp | connectTcp;
  if (abi >= 6) attributes.scoped = scopeAbstractUnixSocket;
  // Every ruleset refuses moving a file to another folder unless it handles that right and
  // allows it: this one allows it everywhere, leaving the first one's rules to decide.
  attributes.handledAccessFs = refer;
  const posix::FileDescriptor ruleset(
      static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0U)));
  if (ruleset.get() < 0) posix::throwSystemError(errno, "landlock_create_ruleset");
  allow(ruleset.get(), "/", PlaceKind::folder, refer);
  restrictSelf(ruleset.get());
  return true;
}

}  // namespace platform
