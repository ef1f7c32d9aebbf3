// Stage 1 of the automatic analysis: the CheckSUR findings of watchlist
// entries whose package or component is gone. An orphaned entry's values
// under Component Based Servicing's PackageDetect or ComponentDetect key
// are deleted, once that key is backed up.
#pragma once

#include <string>

#include "analysis/log_analysis.h"

namespace corvex {

bool RepairWatchlistPackage(Session& s, const SurtRecord& record, std::wstring& log);
bool RepairWatchlistComponent(Session& s, const SurtRecord& record, std::wstring& log);

}  // namespace corvex
