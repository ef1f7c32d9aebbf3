#include "helper/helper_world.h"

#include "base/text.h"

namespace corvex::helper {

const wchar_t kDownloads[] = L"C:\\Users\\Tester\\Downloads";

std::wstring ShownName(const std::filesystem::path& path) {
#ifdef _WIN32
  return path.wstring();
#else
  // POSIX names are bytes; UTF-8 is what a terminal shows.
  return FromUtf8(path.string());
#endif
}

}  // namespace corvex::helper
