#include "analysis/pager.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

const std::wstring kPrompt = L"\n   * Press any key to scroll down . . . ";

std::wstring Paged(const std::wstring& body, int height = 20, bool noPause = false) {
  FakeSession f;
  f.w.FeedKeys(L"xyzk");
  ShowPaged(f.s, height, noPause, L"H|", body, L"|F");
  return f.w.ConsoleText();
}

TEST(ShowPaged, BreaksAtSpacesAndLineFeedsAndNeverPrintsTheSpareCharacter) {
  const std::wstring a79(79, L'a'), a80(80, L'a'), a100(100, L'a');
  struct Row {
    std::wstring body, printed;
  } rows[] = {
      {L"x", L""},
      {a79 + L" bbb.", a79 + L"\nbbb"},
      // A break at column 80 needs no line feed of its own.
      {a80 + L" bb.", a80 + L"bb"},
      // No space: the first 80 characters, then the rest.
      {a100 + L".", a80 + std::wstring(20, L'a')},
      {L"one\ntwo\n.", L"one\ntwo\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.body.size());
    // The footer's key is echoed; the fed 'x' is printable.
    EXPECT_EQ(Paged(r.body), L"H|" + r.printed + L"|Fx");
  }
}

TEST(ShowPaged, AsksForAKeyWhenTheLineCountMeetsThePageHeightExactly) {
  std::wstring line = std::wstring(80, L'a') + L" ";
  std::wstring body;
  for (int i = 0; i < 5; ++i) body += line;
  body += L".";
  const std::wstring piece(80, L'a');
  // The count reaches 3 once the fourth piece is out.
  EXPECT_EQ(Paged(body, 3), L"H|" + piece + piece + piece + piece + kPrompt + L"<clear>H|" + piece + L"|Fy");
  EXPECT_EQ(Paged(body, 3, true), L"H|" + piece + piece + piece + piece + piece + L"|Fx");
}

TEST(ShowPaged, ReturnsTheKeyAndEchoesALineFeedAfterOneThatIsNotPrintable) {
  FakeSession f;
  EXPECT_EQ(ShowPaged(f.s, 20, false, L"", L"ab", L"?"), L'\r');
  EXPECT_EQ(f.w.ConsoleText(), L"a?\r\n");
  // The pager writes past the transcript even while output is held.
  f.s.hold = true;
  f.w.FeedKeys(L"q");
  ShowPaged(f.s, 20, false, L"", L"ab", L"?");
  EXPECT_TRUE(f.s.transcript.empty());
}

}  // namespace
}  // namespace corvex
