#include "bench/BenchArguments.hpp"

#include <cstdlib>

bool parseBenchArguments(int argc, char** argv, std::string& folder,
                         std::initializer_list<NumberOption> numbers) {
  bool folderGiven = false;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    long* number = nullptr;
    for (const auto& option : numbers) {
      if (arg == option.name) number = option.value;
    }
    if (number != nullptr) {
      if (i + 1 >= argc || (*number = std::atol(argv[++i])) <= 0) return false;
    } else if (!arg.starts_with("--") && !folderGiven) {
      folder = arg;
      folderGiven = true;
    } else {
      return false;
    }
  }
  return true;
}
