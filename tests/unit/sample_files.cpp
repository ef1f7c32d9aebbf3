#include "sample_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

bool ReadWhole(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return false;
  *out = bytes.str();
  return true;
}

}  // namespace

std::string ReadSample(const std::string& relative) {
  std::string path = std::string(CORVEX_SAMPLES_DIR) + "/" + relative;
  std::string bytes;
  if (ReadWhole(path, &bytes) || ReadWhole("Z:" + path, &bytes)) return bytes;
  ADD_FAILURE() << "Cannot read the sample file " << path;
  return "";
}
