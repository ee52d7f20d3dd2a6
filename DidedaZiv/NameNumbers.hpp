#pragma once

// Inside the intake module only: not part of its public interface.

#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/Url.hpp"

namespace DidedaZiv::AudioIntake {

// The numbers that copies of one import have taken, name by name, so that the thousandth item
// called "Take.m4a" looks first at "Take 1000.m4a" rather than at every name before it. Only a
// place to start: each name is still tried on the disk, and one that another process took
// meanwhile is passed over, never replaced. Used by one import at a time, its items one after
// another, so it needs no lock.
class NameNumbers {
 public:
  // The number to try first for `name` in `folder`: 1 (the name itself) until a copy took it.
  std::uint64_t firstToTry(const platform::Url& folder, const std::string& name) const {
    const auto found = next_.find(key(folder, name));
    return found == next_.end() ? 1 : found->second;
  }

  // A copy took `number` for `name` in `folder` (1: the name itself).
  void took(const platform::Url& folder, const std::string& name, std::uint64_t number) {
    next_[key(folder, name)] = number + 1;
  }

 private:
  static std::string key(const platform::Url& folder, const std::string& name) {
    return folder.path() + '/' + name;
  }

  std::unordered_map<std::string, std::uint64_t> next_;
};

// copyIn(), its search for a free name started where `numbers` says and recorded there.
platform::Url copyIn(const platform::Url& source, const platform::Url& to, const std::string& name,
                     NameNumbers& numbers);

}  // namespace DidedaZiv::AudioIntake
