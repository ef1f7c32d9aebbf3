#include "platform/fake/fake_shadow_copies.h"

#include "base/text.h"

namespace corvex::fake {

FakeShadowCopies::FakeShadowCopies(FakeWindows& w) : w_(w) {
  w_.OnProcess(L"vssadmin.exe", [this](const platform::ProcessRequest& r) {
    platform::ProcessOutcome out;
    const std::wstring key = L"/Shadow=";
    const size_t at = IFind(r.commandLine, key);
    if (at == std::wstring::npos || !IContains(r.commandLine, L" Delete Shadows /Quiet ")) {
      out.exitCode = 1;
      return out;
    }
    const std::wstring id = Trim(r.commandLine.substr(at + key.size()));
    if (uint32_t f = w_.TakeFault(Op::kShadowDelete, id)) {
      out.exitCode = f;
      return out;
    }
    out.exitCode = Remove(id) ? 0 : 1;
    return out;
  });
}

bool FakeShadowCopies::Create(platform::ShadowRoute route, const std::wstring& volumeRoot,
                              platform::Snapshot& snapshot, platform::ShadowFailure& failure) {
  const bool wmi = route == platform::ShadowRoute::kWmi64;
  // Where each route learns the snapshot's ID, and how many steps it has.
  const int idAt = wmi ? 5 : 6, last = wmi ? 6 : 12;
  for (int location = 0; location <= last; ++location) {
    if (uint32_t f = w_.TakeFault(Op::kShadowCreate, L"loc" + std::to_wstring(location) + L".")) {
      failure.location = location;
      failure.code = f;
      return false;
    }
    if (location == idAt) {
      if (!IEquals(volumeRoot, L"C:\\")) {
        failure.location = location;
        failure.code = wmi ? 0x80041008 : 0x8004230C;  // invalid parameter / volume not supported
        failure.returnValue = wmi ? 3 : 0;
        return false;
      }
      uint32_t number = w_.shadowCopies.empty() ? 1 : *w_.shadowCopies.rbegin() + 1;
      snapshot.id = L"{00000000-0000-0000-0000-" + std::wstring(12 - std::to_wstring(number).size(), L'0') +
                    std::to_wstring(number) + L"}";
      const std::wstring root = FakeWindows::ShadowCopyRoot(number);
      // Taken before the snapshot exists, so the copy of C: leaves it out.
      const std::vector<std::wstring> tree = w_.ListTree(L"C:\\");
      w_.AddShadowCopy(number);
      for (const std::wstring& path : tree) {
        const FakeNode* n = w_.Node(path);
        if (!n) continue;
        const std::wstring inside = root + path.substr(2);
        if (n->folder)
          w_.AddFolder(inside);
        else
          w_.AddFile(inside, n->bytes, n->attributes);
      }
      made[snapshot.id] = number;
      ++created;
    }
  }
  snapshot.deviceObject = FakeWindows::ShadowCopyRoot(made[snapshot.id]);
  return true;
}

platform::Status FakeShadowCopies::Delete(const std::wstring& id) {
  if (uint32_t f = w_.TakeFault(Op::kShadowDelete, id)) return platform::Error{f};
  Remove(id);
  return {};
}

bool FakeShadowCopies::Remove(const std::wstring& id) {
  auto it = made.find(id);
  if (it == made.end()) return false;
  const std::wstring rootKey = FakeWindows::Key(FakeWindows::ShadowCopyRoot(it->second));
  for (auto n = w_.nodes_.begin(); n != w_.nodes_.end();) {
    if (n->first == rootKey || StartsWith(n->first, rootKey + L"\\"))
      n = w_.nodes_.erase(n);
    else
      ++n;
  }
  w_.shadowCopies.erase(it->second);
  made.erase(it);
  return true;
}

}  // namespace corvex::fake
