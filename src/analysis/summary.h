// The end of an automatic analysis: the summary code chosen from the
// corruption counters, the summary line of the session log and the
// explanation pages shown after it.
#pragma once

#include <string>

#include "core/analysis_state.h"
#include "core/session.h"

namespace corvex {

namespace summary {
constexpr int kNoCorruption = 0;
constexpr int kAllRepaired = 1;
constexpr int kUnimportantOrRepaired = 2;
constexpr int kSomeNotFixedSomeUnimportant = 3;
constexpr int kSomeNotFixed = 4;
}  // namespace summary

// 0 to 4. A run that could not examine everything never says "no
// corruption"; one whose repairs cover what was detected is all fixed.
int ChooseSummary(const AnalysisState& a);
// The six counter lines, labels padded so the numbers line up.
std::wstring FormatCounts(const CorruptionCounters& c);
// The session log's SUMMARY line for `code` (with the counts where they
// belong), followed by what could not be examined.
std::wstring SummaryText(const AnalysisState& a, int code);

// The explanation page of a summary code.
const std::wstring& SummaryPage(int code);
// The welcome, warning and disclaimer pages of the intro.
const std::wstring& IntroPage(int index);
constexpr int kIntroPages = 3;

// The counts, a key, then every page of the explanation list with the
// summary's own page last.
void ShowExplanations(Session& s, int code);

}  // namespace corvex
