#include "analysis/summary.h"

#include "analysis/pager.h"
#include "base/text.h"
#include "core/console_output.h"

namespace corvex {

int ChooseSummary(const AnalysisState& a) {
  const CorruptionCounters& c = a.counters;
  const bool unimportant = c.cbsUnimportant != 0 || c.surtUnimportant != 0;
  if (c.cbsDetected == 0 && c.surtDetected == 0) {
    // Nothing found, but not everything could be looked at: the user must
    // not read that the machine is sound.
    if (!a.notExamined.empty())
      return unimportant ? summary::kSomeNotFixedSomeUnimportant : summary::kSomeNotFixed;
    return summary::kNoCorruption;
  }
  // Unimportant corruptions are neither detected nor fixed: the repairs
  // only have to cover what was detected.
  const bool allFixed = c.cbsFixed >= c.cbsDetected && c.surtFixed >= c.surtDetected;
  if (allFixed) return unimportant ? summary::kUnimportantOrRepaired : summary::kAllRepaired;
  return unimportant ? summary::kSomeNotFixedSomeUnimportant : summary::kSomeNotFixed;
}

std::wstring FormatCounts(const CorruptionCounters& c) {
  return L"   CBS & SFC total detected corruption count:     " + Decimal(c.cbsDetected) +
         L"\r\n   CBS & SFC total unimportant corruption count:  " + Decimal(c.cbsUnimportant) +
         L"\r\n   CBS & SFC total fixed corruption count:        " + Decimal(c.cbsFixed) +
         L"\r\n   SURT total detected corruption count:          " + Decimal(c.surtDetected) +
         L"\r\n   SURT total unimportant corruption count:       " + Decimal(c.surtUnimportant) +
         L"\r\n   SURT total fixed corruption count:             " + Decimal(c.surtFixed);
}

std::wstring SummaryText(const AnalysisState& a, int code) {
  std::wstring text;
  switch (code) {
    case summary::kNoCorruption:
      text = L"\r\nSUMMARY: No corruptions were detected.";
      break;
    case summary::kAllRepaired:
      text = L"SUMMARY: All detected corruptions were successfully repaired.";
      break;
    case summary::kUnimportantOrRepaired:
      text = L"SUMMARY: All detected corruptions were unimportant or successfully repaired.";
      break;
    case summary::kSomeNotFixedSomeUnimportant:
      text = std::wstring(L"SUMMARY: Some corruptions could not be fixed automatically and others were unimportant. "
                          L"Seek advice from helper or ") +
             kSupportDomain + L".\r\n" + FormatCounts(a.counters);
      break;
    default:
      text = std::wstring(L"SUMMARY: Some corruptions could not be fixed automatically. Seek advice from helper or ") +
             kSupportDomain + L".\r\n" + FormatCounts(a.counters);
      break;
  }
  if (!a.notExamined.empty()) {
    text += L"\r\n\r\nWARNING: The analysis is incomplete. These could not be examined:";
    for (const std::wstring& what : a.notExamined) text += L"\r\n   " + what;
  }
  return text;
}

namespace {

const std::wstring kPersist =
    L"If your problems persist, and you are currently being instructed by a helper, you should let them know about "
    L"this development by sending them the logfile which will soon be generated and opened so that they can perform "
    L"a manual fix. If nobody is helping you yet, start a new thread in the Windows Update forum of our support web "
    L"site, describe your problems there and attach the logfile.";

const std::wstring kGuidance =
    L"If you are currently being instructed by a helper, let them know about this development by sending them the "
    L"logfile which will soon be generated and opened so that they can perform a manual fix. If nobody is helping "
    L"you yet, start a new thread in the Windows Update forum of our support web site, describe your problems there "
    L"and attach the logfile.";

const std::wstring kGoodThing =
    L"Whilst this is a good thing, be aware that not all types of corruption can be detected by this tool. Some "
    L"damage, to the servicing registry for instance, is only found by a person reading the logs.";

}  // namespace

const std::wstring& SummaryPage(int code) {
  static const std::wstring kPages[] = {
      L"No corruptions have been detected on this computer. This tool cannot detect every type of corruption, "
      L"though, so if Windows Update or SFC still fail, a human analyst should look at the logs of this computer."
      L"\n\n" + kPersist + L" ",
      L"All corruptions detected on this computer have been successfully repaired. " + kGoodThing + L"\n\n" +
          kPersist + L" ",
      L"All significant corruptions detected on this computer have been repaired successfully. A few unimportant "
      L"corruptions remain: they do no harm and need no repair, but SFC and SURT may go on reporting them. If all "
      L"problems have been resolved - great! You need take no further action.\n\n" + kPersist + L" ",
      L"Some detected corruptions could not be repaired automatically. You therefore need to seek the assistance "
      L"of a human analyst in order to fix them. \n\n" + kGuidance + L" ",
  };
  // Codes 3 and 4 share the page.
  return kPages[code < 0 ? 0 : code > 3 ? 3 : code];
}

const std::wstring& IntroPage(int index) {
  static const std::wstring kPages[] = {
      L"Welcome to Corvex!\n\nThis program will attempt to detect & repair as many SFC and Windows Update "
      L"corruptions as it can. When it has finished, a logfile will open; it is also saved to your Desktop as "
      L"Corvex.txt.\n\nDiagnosis takes approximately 5-10 minutes. When corruptions are found, allow approximately "
      L"10 minutes more for their repair.\n\nPlease close all other programs now. ",
      L"                                    WARNING!\n\nThis tool fixes file-system and registry corruption only. It "
      L"does not remove malware, and it must not be used on a computer that is or may be infected: have such a "
      L"computer cleaned first. ",
      L"                                   Disclaimer\n\nThis program changes system files, their ownership and "
      L"permissions, and the registry. It has been written and tested with care, but you use it at your own risk. "
      L"If you do not agree, close this window now to exit.\n\nOtherwise press any key to continue . . . ",
  };
  return kPages[index < 0 ? 0 : index >= kIntroPages ? kIntroPages - 1 : index];
}

void ShowExplanations(Session& s, int code) {
  Print(s, L"SUMMARY:\n" + FormatCounts(s.analysis.counters) +
               L"\r\n\r\nPress any key to continue to explanation of summary . . . ");
  WaitKey(s);
  std::vector<std::wstring>& pages = s.analysis.explanations;
  pages.push_back(SummaryPage(code));
  ClearConsole(s);
  const size_t n = pages.size();
  for (size_t i = 0; i < n; ++i) {
    const std::wstring header =
        L"                       ---  Displaying Message " + Decimal(i + 1) + L" of " + Decimal(n) + L"  ---\n\n";
    const wchar_t* footer = i + 1 < n ? L"\n\n\n   * Press any key to view the next message . . . "
                                      : L"\n\n\n   * Press any key to continue . . . ";
    ShowPaged(s, 20, false, header, pages[i], footer);
    ClearConsole(s);
  }
  // Shown once: a second analysis in the same run starts a list of its own.
  pages.clear();
  FlushTranscript(s, false);
  Print(s, L"\n\n");
}

}  // namespace corvex
