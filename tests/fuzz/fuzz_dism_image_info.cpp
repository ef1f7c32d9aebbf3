// DISM's listing of the images of an install.wim, as a damaged medium or a
// strange DISM might print it: parsed, and the mounting driven by it.
#include "analysis/package_sourcing.h"
#include "fuzz_support.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_dism_image_info)(const uint8_t* data, size_t size) {
  const std::string output = Bytes(data, size);
  auto images = ParseImageInfo(FromLatin1(output));
  for (const WimImage& image : images) FUZZ_CHECK(image.index > 0, "an image numbered 0");
  auto chosen = ChooseImages(images, L"Professional");
  FUZZ_CHECK(chosen.empty() == images.empty(), "images listed but none chosen");

  Fake f;
  f.w.SetMachineValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"EditionID", L"Professional");
  std::vector<std::wstring> commands;
  f.w.OnProcess(L"dism.exe", [&](const platform::ProcessRequest& r) {
    commands.push_back(r.commandLine);
    platform::ProcessOutcome out;
    out.output = output;
    return out;
  });
  size_t visits = 0;
  MountInstallWim(f.s, L"D:\\sources\\install.wim", [&](const WimImage&, const std::wstring&) {
    ++visits;
    return false;
  });
  FUZZ_CHECK(visits <= chosen.size(), "an image visited that was not chosen");
  bool mounted = false;
  for (const std::wstring& c : commands) {
    if (c.find(L" /Mount-") != std::wstring::npos) {
      FUZZ_CHECK(!mounted, "a mount over a mount");
      FUZZ_CHECK(c.size() > 10 && c.compare(c.size() - 10, 10, L" /ReadOnly") == 0, "a mount that can write");
      mounted = true;
    } else if (c.find(L" /Unmount-") != std::wstring::npos) {
      FUZZ_CHECK(c.find(L" /Discard") != std::wstring::npos, "an unmount that keeps changes");
      mounted = false;
    }
  }
  FUZZ_CHECK(!mounted, "an image left mounted");
  return 0;
}
