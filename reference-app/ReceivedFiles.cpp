#include "reference-app/ReceivedFiles.hpp"

#include <algorithm>

namespace reference_app {

bool ReceivedFiles::add(const platform::Url& file) {
  const auto folder = file.deletingLastPathComponent();
  auto group = std::find_if(groups_.begin(), groups_.end(),
                            [&](const Arrived& arrived) { return arrived.group.folder == folder; });
  if (group == groups_.end()) {
    groups_.push_back({{folder, {}}, 0});
    group = std::prev(groups_.end());
  }
  auto& files = group->group.files;
  if (std::find(files.begin(), files.end(), file) != files.end()) return false;
  files.push_back(file);
  group->latest = ++arrivals_;
  return true;
}

std::vector<ReceivedFiles::Group> ReceivedFiles::groups() const {
  std::vector<const Arrived*> order;
  order.reserve(groups_.size());
  for (const auto& arrived : groups_) order.push_back(&arrived);
  std::sort(order.begin(), order.end(),
            [](const Arrived* a, const Arrived* b) { return a->latest > b->latest; });
  std::vector<Group> newestFirst;
  newestFirst.reserve(order.size());
  for (const auto* arrived : order) newestFirst.push_back(arrived->group);
  return newestFirst;
}

std::vector<platform::Url> ReceivedFiles::files() const {
  std::vector<platform::Url> all;
  for (const auto& arrived : groups_) {
    all.insert(all.end(), arrived.group.files.begin(), arrived.group.files.end());
  }
  return all;
}

}  // namespace reference_app
