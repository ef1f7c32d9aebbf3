#include "sample_files.h"

#include <fstream>
#include <sstream>

namespace corvex::testing {

static bool ReadAll(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

std::string ReadSample(const std::string& relative) {
  const std::string path = std::string(CORVEX_SAMPLES_DIR) + "/" + relative;
  std::string out;
  if (ReadAll(path, out) || ReadAll("Z:" + path, out)) return out;
  return {};
}

}  // namespace corvex::testing
