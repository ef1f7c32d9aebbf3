// Facts about the running Windows and the WOW64 path mapping.
#pragma once

#include <string>

#include "core/session.h"

namespace corvex {

bool IsWow64(Session& s);
std::wstring ArchitectureName(Session& s, bool x64Form = false);
std::wstring ArchitectureNameFor(uint16_t architecture, bool x64Form);

// %SystemRoot% of the session's environment; empty when it is not set.
std::wstring SystemRoot(Session& s);
// Under WOW64, MapSystem32 (base/path.h) with the session's Windows folder;
// elsewhere the text unchanged.
std::wstring MapSystem32Path(Session& s, const std::wstring& text);
// The Sysnative alias of the Windows folder back to System32, whatever the
// bitness: paths are kept and shown in their native form.
std::wstring UnmapSystem32Path(Session& s, const std::wstring& path);

bool IsWindowsVersionOrGreater(Session& s, uint32_t major, uint32_t minor);
bool IsWindows10OrGreater(Session& s);
bool IsServer(Session& s);
std::wstring WindowsVersionString(Session& s);
std::wstring CurrentBuild(Session& s);
std::wstring BuildBucket(Session& s);
std::wstring UpdateLevel(Session& s);
std::wstring ServicePack(Session& s);
std::wstring WindowsDisplayName(Session& s, bool detailed = true);

}  // namespace corvex
