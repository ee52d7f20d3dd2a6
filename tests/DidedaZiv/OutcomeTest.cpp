#include <gtest/gtest.h>

#include "DidedaZiv/AudioIntake.hpp"

namespace intake = DidedaZiv::AudioIntake;
using platform::Url;

namespace {

TEST(Outcome, EqualityByCaseAndPayload) {
  const auto file = intake::Outcome::file(Url::fileURL("/inbox/A/Talk.m4a", false));
  const auto sameFile = intake::Outcome::file(Url::fileURL("/inbox/A/Talk.m4a", false));
  // The same file spelled differently is a different URL: the disk is not consulted.
  const auto otherSpelling = intake::Outcome::file(Url::fileURL("/inbox/A/../A/Talk.m4a", false));
  const auto problem = intake::Outcome::problem(std::string(intake::notAudioMessage));

  EXPECT_EQ(file, sameFile);
  EXPECT_NE(file, otherSpelling);
  EXPECT_NE(file, problem);
  EXPECT_NE(problem, file);
  EXPECT_EQ(problem, intake::Outcome::problem(std::string(intake::notAudioMessage)));
  EXPECT_NE(problem, intake::Outcome::problem(std::string(intake::couldNotGetMessage)));
}

TEST(Outcome, ProblemsEqualUnderCanonicalEquivalence) {
  const auto precomposed = intake::Outcome::problem("Caf\u00e9 recording");
  const auto decomposed = intake::Outcome::problem("Cafe\u0301 recording");
  EXPECT_EQ(precomposed, decomposed);
  EXPECT_NE(precomposed, intake::Outcome::problem("Cafe recording"));
}

TEST(Outcome, GivesItsPayloadForItsCaseOnly) {
  const auto url = Url::fileURL("/inbox/A/Talk.m4a", false);
  const auto file = intake::Outcome::file(url);
  ASSERT_NE(file.fileURL(), nullptr);
  EXPECT_EQ(*file.fileURL(), url);
  EXPECT_EQ(file.problemMessage(), nullptr);

  const auto problem = intake::Outcome::problem("m");
  ASSERT_NE(problem.problemMessage(), nullptr);
  EXPECT_EQ(*problem.problemMessage(), "m");
  EXPECT_EQ(problem.fileURL(), nullptr);
}

TEST(Messages, AreTheFixedTextsWithTypographicApostrophes) {
  EXPECT_EQ(intake::notAudioMessage,
            "KelpWord can only turn audio and video into text, and what you dropped isn\xE2\x80\x99t "
            "either. Drop a recording or an audio file.");
  EXPECT_EQ(intake::couldNotGetMessage,
            "KelpWord couldn\xE2\x80\x99t get that recording from the other app. Try again, or export "
            "it as a file and drop the file here.");
  EXPECT_EQ(intake::openKelpWordFirstMessage,
            "Open KelpWord once first, so it can receive recordings. Then share the recording again.");

  // An ASCII apostrophe makes a different message.
  EXPECT_NE(intake::Outcome::problem(std::string(intake::notAudioMessage)),
            intake::Outcome::problem("KelpWord can only turn audio and video into text, and what you "
                                     "dropped isn't either. Drop a recording or an audio file."));
}

}  // namespace
