// The collection server's replies: the back end's answers to verify,
// prepare and finalize, and the upload's status, all taken from the input.
// Nothing may be uploaded without an ID the server gave, the stamped copy
// holds only that ID, and the upload result is one of the known codes.
#include "fuzz_support.h"
#include "online/collect.h"
#include "online/collection_id.h"
#include "online/upload.h"
#include "platform/fake/fake_http.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_collect_replies)(const uint8_t* data, size_t size) {
  const std::string input = Bytes(data, size);
  // Replies separated by '\0': verify, prepare, finalize; then the status.
  std::string parts[4];
  size_t p = 0;
  for (int i = 0; i < 4; ++i) {
    size_t end = input.find('\0', p);
    if (end == std::string::npos) end = input.size();
    parts[i] = input.substr(std::min(p, input.size()), end - std::min(p, input.size()));
    p = end + 1;
  }
  const uint32_t status = parts[3].empty() ? 200 : static_cast<unsigned char>(parts[3][0]) * 3u;

  Fake f;
  f.s.programPath = L"C:\\Tools\\Corvex.exe";
  const bool known = !parts[0].empty() && (parts[0][0] & 1);
  f.w.AddFile(f.s.programPath, std::string("MZ") + (known ? "00000077" : "00000000"));
  f.w.AddFile(L"C:\\Data\\logs.zip", std::string(300, 'z'));
  f.w.FeedKeys(L"ybob\ry");
  f.w.http().handler = [&](const fake::FakeHttpRequest& r) -> platform::HttpReply {
    if (r.method == L"POST") return {status, "OK"};
    if (r.url.find(L"do=verify") != std::wstring::npos) return {200, parts[0]};
    if (r.url.find(L"do=prepare") != std::wstring::npos) return {200, parts[1]};
    return {200, parts[2]};
  };
  const int code = UploadFile(f.s, L"C:\\Data\\logs.zip", Submission::kUser, false);
  FUZZ_CHECK(code == upload::kDone || code == upload::kNoConnection || code == upload::kFinalizeFailed ||
                 code == upload::kRejected || code == upload::kFailed || code == upload::kAborted,
             "an unknown upload result");

  const std::wstring given = ParseCollectionId(parts[1]);
  bool posted = false;
  for (auto& r : f.w.http().requests) {
    if (r.method != L"POST") continue;
    posted = true;
    const bool known77 = r.url.find(L"?id=77&") != std::wstring::npos;
    FUZZ_CHECK(known77 || (!given.empty() && r.url.find(L"?id=" + given + L"&") != std::wstring::npos),
               "uploaded under an ID the server did not give");
  }
  if (!known && given.empty()) FUZZ_CHECK(!posted, "uploaded without an ID");
  if (f.s.idRestart) {
    FUZZ_CHECK(!given.empty(), "the ID restart without a new ID");
    std::string copy = f.w.FileBytes(L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\Temp\\_CorvexID.exe");
    FUZZ_CHECK(ReadCollectionId(f.s.os.fs, L"C:\\Users\\Tester\\AppData\\Local\\Tallwen\\Temp\\_CorvexID.exe") == given,
               "the stamped copy does not hold the given ID");
    FUZZ_CHECK(copy.substr(0, 2) == "MZ" && copy.size() == 10, "the stamped copy lost its own bytes");
  }
  // Reply readers agree with themselves.
  for (const std::string& reply : parts) {
    std::wstring id = ParseCollectionId(reply);
    FUZZ_CHECK(id.empty() || (id.size() <= 8 && id[0] != L'0'), "an ID that is not 1 to 8 digits");
    if (!id.empty()) FUZZ_CHECK(!IsFinalizeFailure(reply) && !IsUnknownIdReply(reply), "an ID read as a failure");
  }
  return 0;
}
