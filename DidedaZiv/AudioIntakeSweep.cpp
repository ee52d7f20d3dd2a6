#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <system_error>
#include <vector>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/FileManager.hpp"
#include "platform/Unicode.hpp"

namespace DidedaZiv::AudioIntake {
namespace {

using TimePoint = std::chrono::system_clock::time_point;

// One spelling per place: "." and ".." gone, symbolic links resolved, and in one Unicode
// normalisation form so that canonically equivalent names compare byte for byte. A "/" never
// combines with its neighbours, so normalising a key and then appending "/" gives the same bytes
// as normalising the key with the "/" appended.
std::string pathKey(const platform::Url& location) {
  return platform::unicode::normalized(location.standardized().resolvingSymlinksInPath().path());
}

// The key of an entry of the folder whose key is `folderKey`. A folder (judged by the entry itself,
// never through a link) adds only its name to the path: no component of the folder's path is
// looked at again for each entry. Anything else may be a link, resolved in full.
std::string entryKey(const std::string& folderKey, const platform::Url& entry) {
  if (!entry.hasDirectoryPath()) return pathKey(entry);
  std::string key = folderKey == "/" ? std::string() : folderKey;
  key += '/';
  key += platform::unicode::normalized(entry.lastPathComponent());
  return key;
}

std::vector<std::string> sortedKeys(const std::vector<platform::Url>& locations) {
  std::vector<std::string> keys;
  keys.reserve(locations.size());
  for (const auto& location : locations) keys.push_back(pathKey(location));
  std::sort(keys.begin(), keys.end());
  return keys;
}

// Whether some key lies strictly inside `folderKey`. Every key that begins with folderKey + "/"
// sorts at or after it, so the first key not less than it is the only one to look at.
bool holdsAny(const std::vector<std::string>& sortedKeys, const std::string& folderKey) {
  const std::string prefix = folderKey + "/";
  const auto candidate = std::lower_bound(sortedKeys.begin(), sortedKeys.end(), prefix);
  return candidate != sortedKeys.end() && candidate->starts_with(prefix);
}

TimePoint newestDate(const platform::fileManager::DirectoryEntry& entry, TimePoint now) {
  if (entry.creationDate && entry.modificationDate) {
    return std::max(*entry.creationDate, *entry.modificationDate);
  }
  if (entry.creationDate) return *entry.creationDate;
  if (entry.modificationDate) return *entry.modificationDate;
  return now;
}

// `now` minus `date`, in seconds; a difference beyond the clock's range is an infinite age.
double secondsBetween(TimePoint date, TimePoint now) {
  TimePoint::rep difference = 0;
  if (__builtin_sub_overflow(now.time_since_epoch().count(), date.time_since_epoch().count(),
                             &difference)) {
    return now > date ? HUGE_VAL : -HUGE_VAL;
  }
  return std::chrono::duration<double>(TimePoint::duration(difference)).count();
}

}  // namespace

void sweep(const platform::Url& folder, double olderThan, const std::vector<platform::Url>& keeping,
           TimePoint now) {
  std::vector<platform::fileManager::DirectoryEntry> entries;
  try {
    entries = platform::fileManager::contentsOfDirectory(folder);
  } catch (const std::system_error&) {
    return;
  }
  const std::vector<std::string> keptKeys = sortedKeys(keeping);
  std::string folderKey;
  try {
    folderKey = pathKey(folder);
  } catch (const std::system_error&) {
    return;  // no entry's key could be made either
  }

  for (const auto& entry : entries) {
    const double age = secondsBetween(newestDate(entry, now), now);
    // Written so that a NaN olderThan keeps everything.
    if (!(olderThan < age)) continue;
    try {
      if (holdsAny(keptKeys, entryKey(folderKey, entry.url))) continue;
      platform::fileManager::removeItem(entry.url);
    } catch (const std::system_error&) {
      // The entry stays; the others are still swept.
    }
  }
}

}  // namespace DidedaZiv::AudioIntake
