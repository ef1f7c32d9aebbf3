#include "core/line_reader.h"

#include <algorithm>
#include <cstring>

#include "base/text.h"

namespace corvex {

using platform::Error;
using platform::Result;

Result<LineReader> LineReader::Open(platform::FileSystem& fs, const std::wstring& path, size_t maxLine) {
  auto file = fs.Open(path, platform::access::kRead, platform::share::kAll, platform::Disposition::kOpenExisting);
  if (!file.ok()) return Error{file.code()};
  return LineReader(std::move(*file), std::max<size_t>(maxLine, 1));
}

bool LineReader::Fill() {
  if (atEnd_ || code_ != 0) return false;
  // What was handed out already goes first, so the buffer never holds more
  // than one cap and one piece.
  buffer_.erase(0, pos_);
  pos_ = 0;
  auto piece = file_->ReadAt(offset_, kChunk);
  if (!piece.ok()) {
    code_ = piece.code();
    return false;
  }
  if (piece->empty()) {
    atEnd_ = true;
    return false;
  }
  offset_ += piece->size();
  if (piece->size() < kChunk) atEnd_ = true;
  buffer_ += *piece;
  return true;
}

bool LineReader::Next(std::string_view& line) {
  cut_ = false;
  while (skipping_) {
    const char* lf = static_cast<const char*>(std::memchr(buffer_.data() + pos_, '\n', buffer_.size() - pos_));
    if (lf) {
      pos_ = static_cast<size_t>(lf - buffer_.data()) + 1;
      skipping_ = false;
    } else {
      pos_ = buffer_.size();
      if (!Fill()) return false;
    }
  }
  size_t searched = pos_;
  for (;;) {
    const char* lf =
        static_cast<const char*>(std::memchr(buffer_.data() + searched, '\n', buffer_.size() - searched));
    size_t end = lf ? static_cast<size_t>(lf - buffer_.data()) : buffer_.size();
    if (end - pos_ > maxLine_) {
      line = std::string_view(buffer_.data() + pos_, maxLine_);
      cut_ = true;
      pos_ = lf ? end + 1 : end;
      skipping_ = !lf;
      return true;
    }
    if (!lf) {
      const size_t unread = buffer_.size() - pos_;
      if (Fill()) {
        searched = pos_ + unread;  // the unread part now starts the buffer
        continue;
      }
      if (code_ != 0 || unread == 0) return false;
      end = buffer_.size();
    }
    // A line, or the last one, which has no line end.
    line = std::string_view(buffer_.data() + pos_, end - pos_);
    pos_ = lf ? end + 1 : end;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
  }
}

Result<bool> FileContains(platform::FileSystem& fs, const std::wstring& path, std::string_view needle) {
  auto file = fs.Open(path, platform::access::kRead, platform::share::kAll, platform::Disposition::kOpenExisting);
  if (!file.ok()) return Error{file.code()};
  if (needle.empty()) return true;
  std::string window;
  uint64_t offset = 0;
  for (;;) {
    auto piece = (*file)->ReadAt(offset, LineReader::kChunk);
    if (!piece.ok()) return Error{piece.code()};
    if (piece->empty()) return false;
    offset += piece->size();
    // The tail of the last piece that could start a match.
    const size_t keep = std::min(window.size(), needle.size() - 1);
    window.erase(0, window.size() - keep);
    window += *piece;
    if (std::string_view(window).find(needle) != std::string_view::npos) return true;
    if (piece->size() < LineReader::kChunk) return false;
  }
}

std::wstring DecodeLogLine(std::string_view line) {
  bool ascii = true;
  for (char c : line)
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  if (ascii) return std::wstring(line.begin(), line.end());
  const std::string bytes(line);
  std::wstring utf8 = FromUtf8(bytes);
  // A replacement character means the bytes were no UTF-8: the code page's.
  return utf8.find(static_cast<wchar_t>(0xFFFD)) == std::wstring::npos ? utf8 : FromLatin1(bytes);
}

}  // namespace corvex
