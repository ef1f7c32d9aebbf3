#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "analysis/log_analysis.h"
#include "analysis/package_extraction.h"
#include "base/path.h"
#include "base/text.h"
#include "core/line_reader.h"
#include "core/session_log.h"
#include "core/system_facts.h"
#include "core/working_folders.h"

namespace corvex {

namespace {

constexpr std::string_view kMemberFile = "Cannot repair member file ";
constexpr std::string_view kVerify = "Cannot verify component files for ";
constexpr std::string_view kManifest = "(F) Unable to load manifest for component ";
constexpr std::string_view kError = "Error";
constexpr size_t kMessageColumn = 64;   // after time stamp, level, source, sequence number and "[SR] "
constexpr size_t kSourceColumn = 43;    // where "CSI" stands

// Position of `marker` starting at or before `lastColumn`, or npos.
size_t FindBefore(std::string_view line, std::string_view marker, size_t lastColumn) {
  size_t at = line.substr(0, std::min(line.size(), lastColumn + marker.size())).find(marker);
  return at;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "2016-10-31 11:25:11": every line CBS writes itself starts so; the pieces
// of a message it wrapped do not.
bool HasTimeStamp(std::string_view line) {
  static const char kForm[] = "dddd-dd-dd dd:dd:dd";
  if (line.size() < sizeof kForm - 1) return false;
  for (size_t i = 0; i + 1 < sizeof kForm; ++i)
    if (kForm[i] == 'd' ? !IsDigit(line[i]) : line[i] != kForm[i]) return false;
  return true;
}

// The part of an SFC line two runs share: before its first "[" and from its
// first double quote, so that sequence numbers do not tell them apart.
std::wstring DuplicateKey(const std::wstring& text) {
  size_t bracket = text.find(L'[');
  size_t quote = text.find(L'"');
  return (bracket == std::wstring::npos ? text : text.substr(0, bracket)) + L'\x1' +
         (quote == std::wstring::npos ? text : text.substr(quote));
}

// "CSI    000000ec@2016/10/31:17:25:11.317 (F) ..." and
// "CSI    000000ed (F) ..." both lose their sequence number and time.
std::wstring CsiErrorPart(const std::wstring& fromSource) {
  if (fromSource.size() > 15 && StartsWith(fromSource, L"CSI ")) {
    if (fromSource[15] == L'@') {
      size_t dot = fromSource.find(L'.');
      return L"CSI   " + (dot == std::wstring::npos || dot + 4 > fromSource.size() ? L"" : fromSource.substr(dot + 4));
    }
    return L"CSI   " + fromSource.substr(15);
  }
  return fromSource;
}

class CbsReader {
 public:
  CbsReader(Session& s, uint32_t kinds, std::vector<CbsRecord>& records) : s_(s), kinds_(kinds), records_(records) {
    for (auto& r : records_) {
      texts_.insert(r.text);
      if (r.kind == cbs_kind::kMemberFile) keys_.insert(DuplicateKey(r.text));
    }
  }

  // Returns whether the line was taken as an error line that may have a
  // continuation.
  bool Line(std::string_view line) {
    if (kinds_ & cbs_kind::kMemberFile) {
      size_t at = FindBefore(line, kMemberFile, kMessageColumn);
      if (at != std::string_view::npos) {
        std::wstring text = DecodeLogLine(line.substr(std::min(at, kMessageColumn)));
        if (keys_.insert(DuplicateKey(text)).second) Add(text, cbs_kind::kMemberFile, false, at);
        return false;
      }
    }
    if (kinds_ & cbs_kind::kComponent) {
      size_t at = FindBefore(line, kVerify, kMessageColumn);
      if (at != std::string_view::npos) {
        Add(DecodeLogLine(line.substr(std::min(at, kMessageColumn))), cbs_kind::kComponent, true, at);
        return false;
      }
      at = FindBefore(line, kManifest, 59);
      if (at != std::string_view::npos) {
        std::wstring text = DecodeLogLine(line.substr(std::min(at + 4, size_t{63})));
        if (keys_.insert(DuplicateKey(text)).second) Add(text, cbs_kind::kComponent, true, at);
        return false;
      }
    }
    if (kinds_ & cbs_kind::kCsiError) {
      size_t at = FindBefore(line, kError, 50);
      if (at != std::string_view::npos && line.size() > kSourceColumn + 4 && line.substr(kSourceColumn, 4) == "CSI ") {
        errorPart_ = CsiErrorPart(DecodeLogLine(line.substr(kSourceColumn)));
        errorLine_ = number_;
        return true;
      }
    }
    return false;
  }

  // The error line held, with the line after it when that continues it.
  void FinishError(std::string_view continuation, bool continues) {
    std::wstring text = errorPart_;
    if (continues) text += L" " + Trim(DecodeLogLine(continuation));
    const uint64_t at = number_;
    number_ = errorLine_;
    Add(text, cbs_kind::kCsiError, false, kSourceColumn);
    number_ = at;
  }

  // The number of the line Line() is given next.
  void At(uint64_t number) { number_ = number; }

  bool added() const { return added_; }

 private:
  void Add(const std::wstring& text, uint32_t kind, bool detected, size_t at) {
    if (!texts_.insert(text).second) return;
    records_.push_back({text, kind, number_, at + 1});
    added_ = true;
    if (detected) s_.analysis.counters.cbsDetected += 1;
  }

  Session& s_;
  uint32_t kinds_;
  std::vector<CbsRecord>& records_;
  std::unordered_set<std::wstring> texts_, keys_;
  std::wstring errorPart_;
  uint64_t number_ = 0, errorLine_ = 0;
  bool added_ = false;
};

std::wstring LogPath(Session& s, const std::wstring& path) {
  return AddLongPathPrefix(MapSystem32Path(s, s.os.env.Expand(path, 512)));
}

void NotExamined(Session& s, const std::wstring& path, uint32_t code) {
  s.analysis.notExamined.push_back(L"The log " + StripLongPathPrefix(path) + L" could not be read (error code " +
                                   ErrorCodeName(code) + L").");
  TraceErrorCode(s, code, L"Failed to read " + StripLongPathPrefix(path) + L": ");
}

}  // namespace

bool ReadCbsLog(Session& s, const std::wstring& path, uint32_t kinds, std::vector<CbsRecord>& records) {
  const std::wstring file = LogPath(s, path);
  auto reader = LineReader::Open(s.os.fs, file);
  if (!reader.ok()) {
    NotExamined(s, file, reader.code());
    return false;
  }
  CbsReader cbs(s, kinds, records);
  std::string_view line;
  std::string held;  // an error line waiting to see the line after it
  bool holding = false, first = true;
  uint64_t number = 0;
  while (reader->Next(line)) {
    cbs.At(++number);
    if (first && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    first = false;
    if (holding) {
      holding = false;
      // Only a piece without a time stamp continues the message; a line of
      // its own is read as one.
      const bool continues = !line.empty() && !HasTimeStamp(line);
      cbs.FinishError(line, continues);
      if (continues) continue;
    }
    if (cbs.Line(line)) holding = true;
  }
  if (holding) cbs.FinishError(std::string_view(), false);
  if (reader->code() != 0) NotExamined(s, file, reader->code());
  return cbs.added();
}

platform::Result<bool> LogHasSfcResults(Session& s, const std::wstring& path) {
  const std::wstring file = LogPath(s, path);
  auto found = FileContains(s.os.fs, file, "[SR]");
  if (!found.ok()) TraceErrorCode(s, found.code(), L"Failed to search " + StripLongPathPrefix(file) + L": ");
  return found;
}

namespace {

// Reads the log when it holds SFC results; true when it did.
bool ReadLogWithSfcResults(Session& s, const std::wstring& log, std::vector<CbsRecord>& records) {
  auto holds = LogHasSfcResults(s, log);
  if (!holds.ok()) {
    NotExamined(s, log, holds.code());
    return false;
  }
  if (!*holds) return false;
  ReadCbsLog(s, log, cbs_kind::kMemberFile | cbs_kind::kComponent, records);
  return true;
}

// A CbsPersist cabinet holds the log of its own name with "log" for "cab".
// It is unpacked into a work folder of its own under Temp, which is removed
// once the log was read: nothing else in Temp is touched.
bool ReadPersistedCabinet(Session& s, const std::wstring& cabinet, std::vector<CbsRecord>& records) {
  ExtractionOptions options;
  options.workers = 1;
  ExtractionResult unpacked = ExtractPackage(s, cabinet, TempFolder(s), options);
  const std::wstring leaf = PathLeafName(cabinet);
  const std::wstring log = unpacked.folder + L"\\" + leaf.substr(0, leaf.size() - 3) + L"log";
  bool found = false;
  if (unpacked.folder.empty()) {
    s.analysis.notExamined.push_back(L"The cabinet " + cabinet + L" could not be unpacked: " +
                                     (unpacked.messages.empty() ? L"no work folder." : unpacked.messages.back()));
  } else if (!s.os.fs.GetAttributes(AddLongPathPrefix(log)).ok()) {
    std::wstring why = unpacked.messages.empty() ? L"it holds no " + PathLeafName(log) + L"." : unpacked.messages.front();
    s.analysis.notExamined.push_back(L"The cabinet " + cabinet + L" could not be examined: " + why);
  } else {
    // A log that came out whole is read even when something else in the
    // cabinet was refused; the refusal is still told.
    if (!unpacked.complete)
      for (const std::wstring& m : unpacked.messages) s.analysis.notExamined.push_back(m);
    found = ReadLogWithSfcResults(s, log, records);
  }
  if (!unpacked.folder.empty()) {
    platform::Status removed = RemoveExtraction(s.os.fs, unpacked.folder);
    if (!removed) TraceErrorCode(s, removed.code(), L"Failed to remove " + unpacked.folder + L": ");
  }
  return found;
}

}  // namespace

void ReadPersistedCbsLogs(Session& s, std::vector<CbsRecord>& records) {
  const std::wstring folder = SystemRoot(s) + L"\\Logs\\CBS\\";
  auto found = s.os.fs.Find(AddLongPathPrefix(folder + L"*"));
  if (!found.ok()) {
    if (found.code() != platform::err::kFileNotFound) NotExamined(s, folder + L"*", found.code());
    return;
  }
  // CBS.persist.log is the latest log moved aside; the CbsPersist ones
  // carry their time in their names, so the greater name is the newer.
  std::vector<std::wstring> names;
  for (auto& e : *found) {
    if (e.attributes & platform::attr::kDirectory) continue;
    if (IStartsWith(e.name, L"CbsPersist") && (IContains(e.name, L".log") || IContains(e.name, L".cab")) &&
        (EndsWith(ToLower(e.name), L".log") || EndsWith(ToLower(e.name), L".cab")))
      names.push_back(e.name);
  }
  std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
    return ToLower(a) > ToLower(b);
  });
  for (auto& e : *found)
    if (IEquals(e.name, L"CBS.persist.log")) names.insert(names.begin(), e.name);
  for (const std::wstring& name : names) {
    const bool read = EndsWith(ToLower(name), L".cab") ? ReadPersistedCabinet(s, folder + name, records)
                                                        : ReadLogWithSfcResults(s, folder + name, records);
    if (read) break;
  }
}

}  // namespace corvex
