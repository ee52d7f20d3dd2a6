// The terminal renderer takes its direction from the language of the user's messages.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <optional>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "platform/app/sheet/TextSheetRenderer.hpp"
#include "tests/support/ShareSheet.hpp"

namespace {

// Sets the variables the language is looked up in, and puts them back when it goes.
class LanguageEnvironment {
 public:
  static constexpr std::array<const char*, 4> names = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

  explicit LanguageEnvironment(const std::array<const char*, 4>& values) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      // NOLINTBEGIN(concurrency-mt-unsafe): this binary starts no threads of its own here
      if (const char* before = std::getenv(names[i])) saved_[i] = before;
      ::setenv(names[i], values[i], 1);
      // NOLINTEND(concurrency-mt-unsafe)
    }
  }
  ~LanguageEnvironment() {
    for (std::size_t i = 0; i < names.size(); ++i) {
      // NOLINTNEXTLINE(concurrency-mt-unsafe)
      saved_[i] ? ::setenv(names[i], saved_[i]->c_str(), 1) : ::unsetenv(names[i]);
    }
  }
  LanguageEnvironment(const LanguageEnvironment&) = delete;
  LanguageEnvironment& operator=(const LanguageEnvironment&) = delete;

 private:
  std::array<std::optional<std::string>, 4> saved_;
};

// What the renderer writes for the failed share sheet, shown and closed at once.
std::string drawnFailure() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return {};
  testing_support::ShareSheet sheet("No sound");
  sheet.fail("No sound");
  {
    platform::TerminalRenderer renderer(ends[1], /*keys=*/-1);
    renderer.show(sheet.root, [] {});
    renderer.close();
  }
  ::close(ends[1]);
  std::string drawn;
  std::array<char, 4096> buffer{};
  for (ssize_t n = 0; (n = ::read(ends[0], buffer.data(), buffer.size())) > 0;) {
    drawn.append(buffer.data(), static_cast<std::size_t>(n));
  }
  ::close(ends[0]);
  return drawn;
}

TEST(TerminalRendererTest, MirrorsTheSheetWhereTheMessagesLanguageIsWrittenRightToLeft) {
  const std::string closeAtTheRight = "[ Close ]  \u2502";
  const std::string closeAtTheLeft = "\u2502  [ Close ]";
  struct Case {
    const char* name;
    std::array<const char*, 4> environment;  // LANGUAGE, LC_ALL, LC_MESSAGES, LANG
    const std::string& close;
  };
  const Case cases[] = {
      {"no language at all", {"", "", "", ""}, closeAtTheRight},
      {"an English locale", {"", "", "", "en_US.UTF-8"}, closeAtTheRight},
      {"a Hebrew locale", {"", "", "", "he_IL.UTF-8"}, closeAtTheLeft},
      {"LC_MESSAGES before LANG", {"", "", "ar_EG.UTF-8", "en_US.UTF-8"}, closeAtTheLeft},
      {"LC_ALL before LC_MESSAGES", {"", "en_US.UTF-8", "ar_EG.UTF-8", ""}, closeAtTheRight},
      // As message catalogues take it: the language list first.
      {"LANGUAGE before the locale", {"he:en", "", "", "C.UTF-8"}, closeAtTheLeft},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const LanguageEnvironment environment(c.environment);
    const auto drawn = drawnFailure();
    EXPECT_NE(drawn.find(c.close), std::string::npos) << drawn;
  }
}

}  // namespace
