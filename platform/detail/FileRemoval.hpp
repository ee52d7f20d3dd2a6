#pragma once

// The descriptor-based removal behind fileManager::removeItem, for platform code that removes an
// item it holds by its folder's descriptor (a copy's own temporary). Private to the platform
// layer; not installed.

#include <string>
#include <string_view>

namespace platform::posix {

// What the removal does with a folder whose bits keep its owner from emptying it.
enum class FolderBits {
  asTheyAre,      // it stays, and its removal fails (EACCES), as for `rm -r`
  ownerMayEmpty,  // each folder is given rwx for its owner first, through its descriptor
};

// Removes the item `name` in the open folder `folder`, a folder with everything inside it. A
// symbolic link is removed, never followed, also when one is swapped in while the removal runs;
// a mount point is not entered (EBUSY). Goes on past failures and then throws std::system_error
// with the first ("remove: path"); an item that vanished meanwhile counts as removed, but a
// missing `name` fails with ENOENT.
void removeItemAt(int folder, const std::string& name, std::string_view path,
                  FolderBits bits = FolderBits::asTheyAre);

}  // namespace platform::posix
