#include "analysis/summary.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace corvex {
namespace {

using testing::FakeSession;

TEST(ChooseSummary, CodesFromTheCountersAndWhatWasNotExamined) {
  struct Row {
    CorruptionCounters c;
    bool incomplete;
    int code;
  } rows[] = {
      {{0, 0, 0, 0, 0, 0}, false, 0},
      // Unimportant findings alone are no corruption.
      {{0, 1, 0, 0, 1, 0}, false, 0},
      {{2, 0, 2, 0, 0, 0}, false, 1},
      {{0, 0, 0, 3, 0, 3}, false, 1},
      // Repairs that cover what was detected: all fixed, however many
      // unimportant findings there were.
      {{1, 1, 1, 0, 0, 0}, false, 2},
      {{1, 0, 1, 0, 2, 0}, false, 2},
      {{2, 1, 1, 0, 0, 0}, false, 3},
      {{2, 0, 1, 0, 0, 0}, false, 4},
      {{1, 0, 1, 1, 0, 0}, false, 4},
      // Nothing found by an analysis that could not look everywhere.
      {{0, 0, 0, 0, 0, 0}, true, 4},
      {{0, 1, 0, 0, 0, 0}, true, 3},
      {{1, 0, 1, 0, 0, 0}, true, 1},
  };
  for (const Row& r : rows) {
    AnalysisState a;
    a.counters = r.c;
    if (r.incomplete) a.notExamined.push_back(L"CBS.log");
    EXPECT_EQ(ChooseSummary(a), r.code) << r.c.cbsDetected << r.c.cbsUnimportant << r.c.cbsFixed << r.c.surtDetected
                                        << r.c.surtUnimportant << r.c.surtFixed << r.incomplete;
  }
}

TEST(SummaryText, OneLinePerCodeWithTheCountsWhereSomethingIsLeftAndTheGapsOfTheAnalysis) {
  AnalysisState a;
  a.counters = {12, 3, 4, 5, 6, 7};
  const std::wstring counts =
      L"   CBS & SFC total detected corruption count:     12\r\n"
      L"   CBS & SFC total unimportant corruption count:  3\r\n"
      L"   CBS & SFC total fixed corruption count:        4\r\n"
      L"   SURT total detected corruption count:          5\r\n"
      L"   SURT total unimportant corruption count:       6\r\n"
      L"   SURT total fixed corruption count:             7";
  EXPECT_EQ(FormatCounts(a.counters), counts);
  EXPECT_EQ(SummaryText(a, 4),
            L"SUMMARY: Some corruptions could not be fixed automatically. Seek advice from helper or tallwen.net.\r\n" +
                counts);
  a.notExamined = {L"CBS.log (reading it failed with error code ERROR_ACCESS_DENIED)"};
  EXPECT_EQ(SummaryText(a, 1),
            L"SUMMARY: All detected corruptions were successfully repaired.\r\n\r\nWARNING: The analysis is "
            L"incomplete. These could not be examined:\r\n   CBS.log (reading it failed with error code "
            L"ERROR_ACCESS_DENIED)");
}

TEST(ShowExplanations, CountsThenEveryPageWithTheSummarysLastAndTheListEmptiedAfter) {
  FakeSession f;
  f.s.hold = true;
  f.s.transcript = L"held ";
  f.s.analysis.explanations = {L"settings.ini page.."};
  ShowExplanations(f.s, 4);
  const std::wstring shown = f.w.ConsoleText();
  const size_t first = shown.find(L"---  Displaying Message 1 of 2  ---\n\nsettings.ini page.");
  const size_t second = shown.find(L"---  Displaying Message 2 of 2  ---\n\n" + SummaryPage(4).substr(0, 40));
  ASSERT_NE(first, std::wstring::npos) << shown;
  ASSERT_NE(second, std::wstring::npos);
  EXPECT_LT(first, second);
  // The held counts come out with the transcript at the end.
  EXPECT_TRUE(testing::Holds(shown, L"held SUMMARY:\n   CBS & SFC total detected"));
  EXPECT_TRUE(f.s.analysis.explanations.empty());
  EXPECT_FALSE(f.s.hold);
  // Every page ends with the spare character the pager drops.
  for (int code = 0; code <= 4; ++code) EXPECT_EQ(SummaryPage(code).back(), L' ');
}

}  // namespace
}  // namespace corvex
