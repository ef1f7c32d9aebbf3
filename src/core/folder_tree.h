// Whole folders: removed with everything in them, and a freshly filled one
// put in the place of an old one.
#pragma once

#include <string>

#include "core/session.h"
#include "platform/result.h"

namespace corvex {

// Removes the folder with everything in it; a junction goes as a link,
// never emptied.
void RemoveTree(Session& s, const std::wstring& path);

// A file deleted if it is there; a missing file is no failure.
void DeleteFileIfThere(Session& s, const std::wstring& path);

enum class OldFolder {
  kRemove,  // gone once the fresh one is in place
  kKeep,    // left at `folder` + ".old" for RevertFolderSwap
};

// Puts `fresh` in the place of `folder`: the old folder (when there is one)
// is moved aside to `folder` + ".old", `fresh` is moved in and only then is
// the old one removed, or kept. On failure the old folder is back in its
// place and `fresh` is left to the caller. Fails with the code of the failed
// move.
platform::Status SwapInFolder(Session& s, const std::wstring& fresh, const std::wstring& folder,
                              OldFolder old = OldFolder::kRemove);

// After a swap cut short (the process died): the old folder moved back when
// it was set aside and nothing took its place; a leftover ".old" beside a
// folder in place removed.
void FinishInterruptedSwap(Session& s, const std::wstring& folder);

// Undoes a swap that kept the old folder: the new one back to `fresh`, the
// old one (when there was one) in its place again.
platform::Status RevertFolderSwap(Session& s, const std::wstring& fresh, const std::wstring& folder);

}  // namespace corvex
