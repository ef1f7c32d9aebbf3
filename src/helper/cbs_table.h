// `cbs`: the automatic analysis' record reading over logs a user posted,
// CBS logs streamed whatever their size and CheckSUR logs, as a table of
// what they report damaged; and a draft of the PowerCopy:: lines that
// would put good copies of the damaged store files in place.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "helper/findings.h"

namespace corvex::helper {

struct DamagedFile {
  std::wstring log;
  uint64_t line = 0;
  std::wstring file, component, version, architecture, culture, publicKeyToken, reason;
};

struct DamagedComponent {  // component verify and manifest load failures, CSI errors
  std::wstring log;
  uint64_t line = 0;
  std::wstring kind;  // "component" or "csi"
  std::wstring text;
};

struct SurtFinding {
  std::wstring log;
  std::wstring category;
  std::vector<std::wstring> items;
};

struct LogTable {
  std::vector<DamagedFile> files;
  std::vector<DamagedComponent> components;
  std::vector<SurtFinding> surt;
  std::vector<std::wstring> surtFiles;  // the files CheckSUR lists under its findings
  std::vector<Finding> findings;
};

// Logs whose file name starts with "CheckSUR" are read as CheckSUR logs,
// the rest as CBS logs. Records two logs share are listed once.
LogTable ReadLogs(const std::vector<std::filesystem::path>& logs);

std::wstring LogTableText(const LogTable& t);
std::string LogTableJson(const LogTable& t);
// PowerCopy:: with one line per damaged file: its good copy from the zip,
// "{ARCHIVE}\<component>_<version>_<architecture>\<file>", over the store
// file. The store folder's hash part is not in the logs: it stays
// "<hash>", which PowerCopy:: blocks, until the helper fills it in.
std::wstring DraftScript(const LogTable& t);

}  // namespace corvex::helper
