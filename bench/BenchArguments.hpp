#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// A benchmark option that takes a positive whole number, such as "--rounds 5".
struct NumberOption {
  std::string_view name;
  long* value;
};

// Reads a benchmark's arguments: at most one folder, and the given number options in any order.
// False on anything else, or on a number that is missing or not positive.
bool parseBenchArguments(int argc, char** argv, std::string& folder,
                         std::initializer_list<NumberOption> numbers);
