#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Url.hpp"

namespace reference_app {

// The files the application shows, grouped by the folder that holds them (for a received file,
// its per-share folder). No toolkit, no disk: what the window draws and the sweep keeps.
class ReceivedFiles {
 public:
  struct Group {
    platform::Url folder;
    std::vector<platform::Url> files;  // in the order they arrived
  };

  // Shows `file` in its folder's group, which becomes the newest. False when it was shown already;
  // the groups stay as they were then. Constant time on average, however many files are shown.
  bool add(const platform::Url& file);

  // Newest group first: the one whose latest file arrived last.
  std::vector<Group> groups() const;
  // Every file shown, for the sweep to keep.
  std::vector<platform::Url> files() const;
  bool empty() const { return groups_.empty(); }

 private:
  struct Arrived {
    Group group;
    std::uint64_t latest = 0;
  };
  std::vector<Arrived> groups_;
  std::unordered_map<std::string, std::size_t> groupOf_;  // by folder URL: the index in groups_
  std::unordered_set<std::string> shown_;                 // every file's URL
  std::uint64_t arrivals_ = 0;
};

}  // namespace reference_app
