#include "reference-app/ReceivedFiles.hpp"

#include <algorithm>
#include <utility>

namespace reference_app {

bool ReceivedFiles::add(const platform::Url& file) {
  // URLs are equal when their texts are: the texts are the keys.
  if (!shown_.insert(file.absoluteString()).second) return false;
  auto folder = file.deletingLastPathComponent();
  const auto [found, isNew] = groupOf_.try_emplace(folder.absoluteString(), groups_.size());
  if (isNew) groups_.push_back({{std::move(folder), {}}, 0});
  auto& group = groups_[found->second];
  group.group.files.push_back(file);
  group.latest = ++arrivals_;
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
