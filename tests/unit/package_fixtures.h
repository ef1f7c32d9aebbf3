// Packages made at test time: zips by the program's own writer, and real
// cabinets and installer databases for the package readers by gcab and
// msibuild (msitools), which setup installs (those in native builds only).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "online/zip_writer.h"
#include "platform/fake/fake_http.h"
#include "platform/fake/fake_windows.h"

namespace corvex::testing {

// A zip of the files, made on a scratch fake.
inline std::string MakeZip(const std::vector<std::pair<std::wstring, std::string>>& files) {
  fake::FakeWindows scratch;
  auto writer = ZipWriter::Open(scratch.platform().fs, L"C:\\db.zip", scratch.now);
  EXPECT_TRUE(writer.ok());
  if (!writer.ok()) return "";
  for (const auto& [name, bytes] : files) {
    scratch.AddFile(L"C:\\src\\" + name, bytes);
    EXPECT_TRUE((*writer)->AddFile(L"C:\\src\\" + name, name).ok());
  }
  EXPECT_TRUE((*writer)->Commit().ok());
  return scratch.FileBytes(L"C:\\db.zip");
}

// How many requests of the fake's HTTP hold `part` in "METHOD url".
inline size_t Requested(fake::FakeWindows& w, const std::wstring& part) {
  size_t n = 0;
  for (const fake::FakeHttpRequest& r : w.http().requests)
    n += (r.method + L" " + r.url).find(part) != std::wstring::npos;
  return n;
}

}  // namespace corvex::testing

#ifndef _WIN32

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace corvex::testing {

using PackageFiles = std::vector<std::pair<std::string, std::string>>;  // name ('\' or '/'), bytes

class ScratchDir {
 public:
  ScratchDir() {
    char name[] = "/tmp/corvex-pkg-XXXXXX";
    path_ = mkdtemp(name) ? name : "";
  }
  ~ScratchDir() {
    if (!path_.empty()) Run("rm -rf '" + path_ + "'");
  }
  const std::string& path() const { return path_; }
  static bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }
  static std::string Slashed(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
  }

  void Write(const std::string& name, const std::string& bytes) const {
    const std::string rel = Slashed(name);
    size_t slash = rel.rfind('/');
    if (slash != std::string::npos) Run("mkdir -p '" + path_ + "/" + rel.substr(0, slash) + "'");
    std::ofstream(path_ + "/" + rel, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string path_;
};

// An MSZIP cabinet holding `files` (empty string when gcab failed).
inline std::string MakeCabinet(const PackageFiles& files) {
  ScratchDir dir;
  std::string names;
  for (const auto& [name, bytes] : files) {
    dir.Write(name, bytes);
    names += " '" + ScratchDir::Slashed(name) + "'";
  }
  if (!ScratchDir::Run("cd '" + dir.path() + "' && gcab -c -z out.cab" + names + " >/dev/null 2>&1")) return "";
  return dir.Read("out.cab");
}

// An installer database whose `_Streams` table holds `streams`.
inline std::string MakeInstallerDatabase(const PackageFiles& streams) {
  ScratchDir dir;
  std::string args;
  int n = 0;
  for (const auto& [name, bytes] : streams) {
    std::string file = "s" + std::to_string(n++);
    dir.Write(file, bytes);
    args += " -a '" + name + "' '" + dir.path() + "/" + file + "'";
  }
  if (!ScratchDir::Run("cd '" + dir.path() + "' && msibuild out.msi" + args + " >/dev/null 2>&1")) return "";
  return dir.Read("out.msi");
}

}  // namespace corvex::testing

#endif
