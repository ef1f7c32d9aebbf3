#include "core/line_reader.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_windows.h"

namespace corvex {
namespace {

using fake::Op;

const std::wstring kLog = L"C:\\Windows\\Logs\\CBS\\CBS.log";

std::vector<std::string> ReadAll(fake::FakeWindows& w, size_t cap = LineReader::kDefaultMaxLine,
                                 std::vector<bool>* cuts = nullptr, uint32_t* code = nullptr) {
  auto reader = LineReader::Open(w.platform().fs, kLog, cap);
  EXPECT_TRUE(reader.ok());
  std::vector<std::string> lines;
  if (!reader.ok()) return lines;
  std::string_view line;
  while (reader->Next(line)) {
    lines.emplace_back(line);
    if (cuts) cuts->push_back(reader->cut());
  }
  if (code) *code = reader->code();
  return lines;
}

TEST(LineReader, LineEndsNulsAndTheLastLine) {
  const std::string nuls(5000, '\0');
  const struct {
    const char* what;
    std::string bytes;
    std::vector<std::string> lines;
  } rows[] = {
      {"CR LF, LF and no end", "a\r\nb\nc", {"a", "b", "c"}},
      {"a bare LF after a CR LF entry", "a\n\r\nb\r\n", {"a", "", "b"}},
      {"empty file", "", {}},
      {"a NUL block stays in its line", "x" + nuls + "y\r\nz\r\n", {"x" + nuls + "y", "z"}},
      {"a CR alone is no line end", "a\rb\r\n", {"a\rb"}},
  };
  for (auto& r : rows) {
    fake::FakeWindows w;
    w.AddFile(kLog, r.bytes);
    EXPECT_EQ(ReadAll(w), r.lines) << r.what;
  }
}

TEST(LineReader, LongLinesAreCutAndPiecesJoinAcrossReads) {
  fake::FakeWindows w;
  // A line crossing the 1 MiB piece boundary, a line over the cap with and
  // without a line end after it.
  const std::string before(LineReader::kChunk - 10, 'a');
  const std::string across = "0123456789abcdefghij";
  const std::string longLine(3 * LineReader::kChunk, 'L');
  w.AddFile(kLog, before + "\n" + across + "\r\n" + longLine + "\nshort\n" + longLine);
  std::vector<bool> cuts;
  auto lines = ReadAll(w, 100, &cuts);
  EXPECT_EQ(lines, (std::vector<std::string>{before.substr(0, 100), across, longLine.substr(0, 100), "short",
                                            longLine.substr(0, 100)}));
  EXPECT_EQ(cuts, (std::vector<bool>{true, false, true, false, true}));
}

TEST(LineReader, ReadsALogAnotherProcessWritesAndReportsAFailedRead) {
  fake::FakeWindows w;
  w.AddFile(kLog, "one\r\ntwo\r\n");
  auto writer = w.HoldOpen(kLog, platform::access::kRead | platform::access::kWrite, platform::share::kAll);
  EXPECT_EQ(ReadAll(w), (std::vector<std::string>{"one", "two"}));
  auto locked = w.HoldOpen(kLog, platform::access::kRead, platform::share::kNone);
  EXPECT_EQ(LineReader::Open(w.platform().fs, kLog).code(), platform::err::kSharingViolation);
  locked.reset();

  w.InjectFault(Op::kReadFile, L"CBS.log", 23);
  uint32_t code = 0;
  EXPECT_TRUE(ReadAll(w, LineReader::kDefaultMaxLine, nullptr, &code).empty());
  EXPECT_EQ(code, 23u);
}

TEST(LineReader, FileContainsFindsANeedleAcrossPieces) {
  const size_t edge = LineReader::kChunk;
  const struct {
    size_t at;
    bool found;
  } rows[] = {{0, true}, {edge - 2, true}, {edge - 4, true}, {edge, true}, {2 * edge + 7, true}, {0, false}};
  for (auto& r : rows) {
    fake::FakeWindows w;
    std::string bytes(3 * edge, '[');
    if (r.found) bytes.replace(r.at, 4, "[SR]");
    w.AddFile(kLog, bytes);
    auto found = FileContains(w.platform().fs, kLog, "[SR]");
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(*found, r.found) << r.at;
  }
}

TEST(LineReader, DecodesUtf8AndCodePageLines) {
  EXPECT_EQ(DecodeLogLine("caf\xC3\xA9"), L"caf\xE9");
  EXPECT_EQ(DecodeLogLine("caf\xE9"), L"caf\xE9");
}

}  // namespace
}  // namespace corvex
