// Ordinal 28 without TARNCORE_DATA_ROOT on POSIX: $XDG_DATA_HOME, else $HOME/.local/share.
#include <gtest/gtest.h>

#include <optional>

#include "tarncore_test_support.h"

namespace {

using tarncore_test::ScopedEnvironment;
using tarncore_test::Show;
using tarncore_test::T;

TEST(DataRootPosix, FollowsXdgDataHomeThenHome) {
  static const struct {
    std::optional<std::u16string> xdg;
    std::optional<std::u16string> home;
    std::u16string expected;
  } cases[] = {
      {u"/x/data", u"/home/u", u"/x/data"},
      {u"/x/data/", u"/home/u", u"/x/data"},  // no trailing separator
      {u"/x/data//", u"/home/u", u"/x/data"},
      {u"", u"/home/u", u"/home/u/.local/share"},  // empty counts as unset (XDG rule)
      {std::nullopt, u"/home/u", u"/home/u/.local/share"},
      {std::nullopt, u"/home/u/", u"/home/u/.local/share"},
      {std::nullopt, u"/home/\u00e4", u"/home/\u00e4/.local/share"},
  };
  const ScopedEnvironment root("TARNCORE_DATA_ROOT", std::nullopt);
  for (const auto& c : cases) {
    const ScopedEnvironment xdg("XDG_DATA_HOME", c.xdg);
    const ScopedEnvironment home("HOME", c.home);
    EXPECT_EQ(Show(TarnDataRoot()), Show(T(c.expected)))
        << "XDG_DATA_HOME=" << (c.xdg ? Show(T(*c.xdg)) : "(unset)")
        << " HOME=" << (c.home ? Show(T(*c.home)) : "(unset)");
  }
}

TEST(DataRootPosix, WithoutHomeTheAccountsHomeFolderIsUsed) {
  const ScopedEnvironment root("TARNCORE_DATA_ROOT", std::nullopt);
  const ScopedEnvironment xdg("XDG_DATA_HOME", std::nullopt);
  const ScopedEnvironment home("HOME", std::nullopt);
  const tarncore_test::Text answer = TarnDataRoot();
  const tarncore_test::Text suffix = T(u"/.local/share");
  ASSERT_GT(answer.size(), suffix.size()) << Show(answer);
  EXPECT_EQ(answer.front(), u'/') << Show(answer);
  EXPECT_EQ(answer.substr(answer.size() - suffix.size()), suffix) << Show(answer);
}

}  // namespace
