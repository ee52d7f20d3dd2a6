// Prints the MIME types of every audio and video type in the content-type table, as a desktop
// entry's MimeType value ("audio/mp4;audio/x-m4a;…;"): the build writes it into the share
// extension's desktop entry, so that the table stays the one list of what the extension takes.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "platform/UTType.hpp"

int main() {
  using platform::UTType;
  std::vector<std::string> listed;
  for (const auto& type : UTType::allTypes()) {
    if (!type.conforms(UTType::audiovisualContent())) continue;
    for (const auto& mimeType : type.mimeTypes()) {
      if (std::find(listed.begin(), listed.end(), mimeType) != listed.end()) continue;
      listed.push_back(mimeType);
      std::cout << mimeType << ';';
    }
  }
  std::cout << '\n';
  return std::cout.good() ? 0 : 1;
}
