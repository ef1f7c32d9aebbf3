// The libFuzzer entry points of the fuzz program: CORVEX_FUZZ_TARGET picks
// the target every input goes to.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "fuzz_support.h"

namespace corvex::fuzz {

namespace {

std::map<std::string, TargetFunction>& Targets() {
  static std::map<std::string, TargetFunction> targets;
  return targets;
}

TargetFunction chosen = nullptr;

}  // namespace

bool RegisterTarget(const char* name, TargetFunction run) {
  Targets()[name] = run;
  return true;
}

}  // namespace corvex::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace corvex::fuzz;
  const char* name = std::getenv("CORVEX_FUZZ_TARGET");
  auto found = name ? Targets().find(name) : Targets().end();
  if (found == Targets().end()) {
    std::fprintf(stderr, "CORVEX_FUZZ_TARGET must name one of these targets:\n");
    for (const auto& [known, run] : Targets()) std::fprintf(stderr, "  %s\n", known.c_str());
    std::exit(2);
  }
  chosen = found->second;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return corvex::fuzz::chosen(data, size);
}
