// Lines of a file read in pieces, never whole: servicing logs run to
// hundreds of megabytes on a machine in trouble, and Windows may still be
// writing them. A line longer than the cap is cut at the cap and the rest of
// it passed over, so memory stays flat whatever the file holds (a block of
// NULs without a line end included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/filesystem.h"
#include "platform/result.h"

namespace corvex {

class LineReader {
 public:
  static constexpr size_t kDefaultMaxLine = 64 * 1024;
  static constexpr size_t kChunk = 1 << 20;

  // Opens `path` as given (callers expand and prefix it) with read, write
  // and delete sharing, as a log another process holds open needs.
  static platform::Result<LineReader> Open(platform::FileSystem& fs, const std::wstring& path,
                                           size_t maxLine = kDefaultMaxLine);

  // The next line without its LF and a CR before it. The view lives until
  // the next call. False at the end, or after a failed read (code() != 0).
  bool Next(std::string_view& line);
  uint32_t code() const { return code_; }
  // The line just returned was longer than the cap.
  bool cut() const { return cut_; }

 private:
  LineReader(std::unique_ptr<platform::File> file, size_t maxLine) : file_(std::move(file)), maxLine_(maxLine) {}
  // Appends the next piece of the file; false at its end or on failure.
  bool Fill();

  std::unique_ptr<platform::File> file_;
  size_t maxLine_;
  uint64_t offset_ = 0;
  std::string buffer_;
  size_t pos_ = 0;
  bool atEnd_ = false;
  bool skipping_ = false;  // inside the rest of a cut line
  bool cut_ = false;
  uint32_t code_ = 0;
};

// Whether the file holds `needle` anywhere, read in pieces that overlap by
// the needle's length, so a match across two pieces is still found.
platform::Result<bool> FileContains(platform::FileSystem& fs, const std::wstring& path, std::string_view needle);

// A line of a log written in the system's code page or in UTF-8, as wide
// text: UTF-8 where it decodes, each byte its own character otherwise.
std::wstring DecodeLogLine(std::string_view line);

}  // namespace corvex
