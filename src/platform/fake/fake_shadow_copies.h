// Shadow copies of the fake: Create copies drive C: as it is into a new
// read-only snapshot numbered one above the highest there is (numbers of
// snapshots added with AddShadowCopy leave gaps as deleted ones do), and a
// scripted vssadmin.exe deletes one by "/Shadow=ID". Snapshots nobody
// deleted stay listed in `made`.
#pragma once

#include <map>
#include <string>

#include "platform/fake/fake_windows.h"
#include "platform/shadow_copies.h"

namespace corvex::fake {

class FakeShadowCopies : public platform::ShadowCopies {
 public:
  explicit FakeShadowCopies(FakeWindows& w);

  // Each location of a route asks for a fault of Op::kShadowCreate on the
  // path "loc" + N + "." ("loc5." for location 5), so a test can fail any
  // one of them. Op::kShadowDelete on the ID fails Delete and vssadmin's
  // deletion (vssadmin then exits with the fault's code).
  bool Create(platform::ShadowRoute route, const std::wstring& volumeRoot, platform::Snapshot& snapshot,
              platform::ShadowFailure& failure) override;
  platform::Status Delete(const std::wstring& id) override;

  // Snapshots made by Create and not deleted yet: ID -> number.
  std::map<std::wstring, uint32_t> made;
  int created = 0;

 private:
  // Removes the snapshot and its files; false when the ID is unknown.
  bool Remove(const std::wstring& id);

  FakeWindows& w_;
};

}  // namespace corvex::fake
