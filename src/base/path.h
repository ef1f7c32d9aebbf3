// Windows path forms, as pure text: the "\\?\" long-path prefix, and the
// System32 <-> Sysnative alias a 32-bit process uses to reach the native
// system folder under WOW64.
#pragma once

#include <cstddef>
#include <string>

namespace corvex {

constexpr wchar_t kLongPathPrefix[] = L"\\\\?\\";

// The last component of a path ("C:\\a\\b\\" gives "b").
std::wstring PathLeafName(const std::wstring& path);

// "\\?\C:\x" or "\\?\UNC\server\share\x".
bool HasLongPathPrefix(const std::wstring& path);
// "C:\x" -> "\\?\C:\x", "\\server\share" -> "\\?\UNC\server\share". Paths
// already prefixed, device paths ("\\.\") and relative paths, which the
// prefix would make wrong, come back unchanged.
std::wstring AddLongPathPrefix(const std::wstring& path);
// The path as a user reads it: the inverse of AddLongPathPrefix.
std::wstring StripLongPathPrefix(const std::wstring& path);

// Length of a path's root, the part that is never created or removed: 2 for
// "C:", the whole "\\server\share" for a UNC path, 0 for anything else.
// Takes paths without the "\\?\" prefix.
size_t PathRootLength(const std::wstring& path);

// `systemRoot` is the Windows folder ("C:\Windows"). The first path of
// `text` has "<systemRoot>\System32" (any letter case) turned into
// "<systemRoot>\Sysnative", unless the next folder is one that WOW64 leaves
// unredirected (catroot, catroot2, DriverStore, LogFiles, spool,
// drivers\etc). A "\\?\" prefix is kept; any other text is returned as it
// is, and so is everything when `systemRoot` is not a drive path.
std::wstring MapSystem32(const std::wstring& text, const std::wstring& systemRoot);
// "<systemRoot>\Sysnative" (any case) back to "<systemRoot>\System32".
std::wstring UnmapSystem32(const std::wstring& path, const std::wstring& systemRoot);

}  // namespace corvex
