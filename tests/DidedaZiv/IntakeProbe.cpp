// Runs one intake operation in a process of its own, for tests that need another user or a
// user database of their making (nss_wrapper):
//   intake-probe real-home [GONE]   prints the home path and whether it is a directory URL; with
//                                   GONE, from inside that folder, removed first
//   intake-probe new-folder PARENT  prints the new folder's path, or the error code and exits 1
#include <cstdio>
#include <cstring>
#include <system_error>

#include <unistd.h>

#include "DidedaZiv/AudioIntake.hpp"

int main(int argc, char** argv) {
  namespace intake = DidedaZiv::AudioIntake;
  if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "real-home") == 0) {
    if (argc == 3 && (::chdir(argv[2]) != 0 || ::rmdir(argv[2]) != 0)) {
      std::perror(argv[2]);
      return 2;
    }
    const auto home = intake::realHome();
    std::printf("%s\n%s\n", home.path().c_str(), home.hasDirectoryPath() ? "directory" : "file");
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "new-folder") == 0) {
    try {
      std::printf("%s\n", intake::newFolder(platform::Url::fileURL(argv[2], true)).path().c_str());
      return 0;
    } catch (const std::system_error& error) {
      std::printf("error %d\n", error.code().value());
      return 1;
    }
  }
  std::fputs("usage: intake-probe real-home [GONE] | new-folder PARENT\n", stderr);
  return 2;
}
