// Layout constraints: activation and a view leaving the tree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "platform/app/views/View.hpp"

namespace views_test {
namespace {

using testing::ElementsAre;

TEST(LayoutConstraintTest, ActivatingTogetherIsAllOrNothing) {
  auto root = std::make_shared<platform::View>();
  auto inside = std::make_shared<platform::View>();
  auto outside = std::make_shared<platform::View>();
  root->addSubview(inside);
  int changes = 0;
  root->setChangeHandler([&] { ++changes; });
  const auto good = inside->leadingAnchor().constraintEqualTo(root->leadingAnchor(), 5);
  const auto bad = outside->leadingAnchor().constraintEqualTo(root->leadingAnchor());
  EXPECT_FALSE(good->isActive());

  EXPECT_THROW(platform::LayoutConstraint::activateConstraints({good, bad}), std::logic_error);
  EXPECT_FALSE(good->isActive());
  EXPECT_TRUE(root->constraints().empty());

  const auto second =
      inside->trailingAnchor().constraintLessThanOrEqualTo(root->trailingAnchor(), -5);
  platform::LayoutConstraint::activateConstraints({good, second});
  EXPECT_THAT(root->constraints(), ElementsAre(good, second));
  EXPECT_EQ(changes, 1) << "one change for one activation";

  inside->removeFromSuperview();
  EXPECT_TRUE(root->constraints().empty()) << "a view leaving the tree takes its constraints along";
  EXPECT_FALSE(good->isActive());
}

}  // namespace
}  // namespace views_test
