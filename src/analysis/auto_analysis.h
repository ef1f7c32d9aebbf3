// AutoAnalysis:: (also AA::), the program's main job: store directories,
// the servicing logs, the hive and hard-link checks, the repair stages, the
// DISM fallback and the summary.
#pragma once

#include <string>

#include "core/analysis_state.h"
#include "script/directive.h"

namespace corvex {

// First line "DisplayIntro" shows the intro pages first; "FilePlacementMode"
// asks for that mode instead of the analysis.
bool AutoAnalysisDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

// Stages 2 to 9: good copies of the corrupt store files from the archive,
// the fixed drives and the shadow copies, copied into place by PowerCopy::.
// A record counts as fixed once its store file has the manifest's digest.
void RunRepairStages(Session& s, const std::wstring& archive, std::wstring& log);

// File Placement Mode: the archive's entries placed by one PowerCopy::
// run, under %SystemRoot%\winsxs or over config\COMPONENTS only.
bool RunFilePlacementMode(Session& s, const std::wstring& archive, std::wstring& report);

// The Base64 SHA-256 of a file, the form of a manifest's digest; empty when
// the file cannot be read.
std::wstring FileDigest(Session& s, const std::wstring& path);

// "<folder under WinSxS>" of %SystemRoot%\winsxs\<folder>\<file>; empty
// when the path names no folder.
std::wstring ComponentFolder(const std::wstring& storePath);

// Copies a good-copy candidate to Temp\<subfolder>\<component folder>\<file>
// and keeps the copy, named in `staged`, only when its digest is the
// record's. PowerCopy:: takes sources with a drive letter only, and a source
// must outlive the snapshot or package folder it was found in. Failures are
// traced under `stage` ("Stage 5").
bool StageVerifiedCopy(Session& s, const std::wstring& stage, const std::wstring& subfolder,
                       const std::wstring& candidate, const CorruptFileRecord& r, std::wstring& staged);

}  // namespace corvex
