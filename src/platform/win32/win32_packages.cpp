// Cabinets through cabinet.dll's FDI, in process, with our own file
// callbacks: FDI never opens an output file itself, so every entry name
// goes through the caller's `place` before a byte is written. Installer
// databases through msi.dll, read-only. Embedded storages are listed, not
// written.
#include "platform/win32/win32_packages.h"

#include "platform/win32/windows_api.h"

#include <fdi.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>

#include "base/path.h"
#include "base/text.h"
#include "platform/win32/handles.h"

namespace corvex::win32 {

using platform::Error;
using platform::InstallerContents;
using platform::PackageEntry;
using platform::Result;
using platform::Status;
namespace package_err = platform::package_err;

namespace {

// FDI's open callback carries no context: the cabinet's wide path is kept
// per thread for the length of one FDICopy.
thread_local const std::wstring* tlsCabinet = nullptr;
char kCabinetToken[] = "corvex-cabinet";

FNALLOC(FdiAlloc) { return HeapAlloc(GetProcessHeap(), 0, cb); }
FNFREE(FdiFree) { HeapFree(GetProcessHeap(), 0, pv); }

FNOPEN(FdiOpen) {
  (void)oflag;
  (void)pmode;
  if (!tlsCabinet || lstrcmpA(pszFile, kCabinetToken) != 0) return -1;
  HANDLE h = CreateFileW(AddLongPathPrefix(*tlsCabinet).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<INT_PTR>(h);
}

FNREAD(FdiRead) {
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(hf), pv, cb, &got, nullptr)) return static_cast<UINT>(-1);
  return got;
}

FNWRITE(FdiWrite) {
  DWORD put = 0;
  if (!WriteFile(reinterpret_cast<HANDLE>(hf), pv, cb, &put, nullptr)) return static_cast<UINT>(-1);
  return put;
}

FNCLOSE(FdiClose) { return CloseHandle(reinterpret_cast<HANDLE>(hf)) ? 0 : -1; }

FNSEEK(FdiSeek) {
  DWORD method = seektype == SEEK_CUR ? FILE_CURRENT : seektype == SEEK_END ? FILE_END : FILE_BEGIN;
  DWORD at = SetFilePointer(reinterpret_cast<HANDLE>(hf), dist, nullptr, method);
  return at == INVALID_SET_FILE_POINTER ? -1 : static_cast<__LONG32>(at);
}

std::wstring EntryName(const FDINOTIFICATION* n) {
  std::string raw = n->psz1 ? n->psz1 : "";
  return (n->attribs & _A_NAME_IS_UTF) ? FromUtf8(raw) : FromLatin1(raw);
}

struct CopyContext {
  const platform::PlaceEntry* place = nullptr;  // null: list only
  std::vector<PackageEntry> entries;
  DWORD writeError = 0;
};

FNFDINOTIFY(FdiNotify) {
  auto* ctx = static_cast<CopyContext*>(pfdin->pv);
  switch (fdint) {
    case fdintCOPY_FILE: {
      PackageEntry e{EntryName(pfdin), static_cast<uint64_t>(pfdin->cb)};
      if (!ctx->place) {
        ctx->entries.push_back(e);
        return 0;  // skip: listing only
      }
      std::wstring to = (*ctx->place)(e);
      if (to.empty()) return 0;
      HANDLE h = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) {
        ctx->writeError = GetLastError();
        return -1;
      }
      return reinterpret_cast<INT_PTR>(h);
    }
    case fdintCLOSE_FILE_INFO:
      CloseHandle(reinterpret_cast<HANDLE>(pfdin->hf));
      return TRUE;
    case fdintNEXT_CABINET:
      return -1;  // a cabinet set spanning files is not a package we queue
    default:
      return 0;
  }
}

Status RunFdi(const std::wstring& cabinet, CopyContext& ctx) {
  ERF erf{};
  HFDI fdi = FDICreate(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &erf);
  if (!fdi) return Error{package_err::kNotSupported};
  tlsCabinet = &cabinet;
  char empty[] = "";
  BOOL ok = FDICopy(fdi, kCabinetToken, empty, 0, FdiNotify, nullptr, &ctx);
  tlsCabinet = nullptr;
  FDIDestroy(fdi);
  if (ok) return Status::Ok();
  if (ctx.writeError) return Error{ctx.writeError};
  if (erf.erfOper == FDIERROR_CABINET_NOT_FOUND) return Error{ERROR_FILE_NOT_FOUND};
  if (erf.erfOper == FDIERROR_ALLOC_FAIL) return Error{ERROR_NOT_ENOUGH_MEMORY};
  if (erf.erfOper == FDIERROR_TARGET_FILE) return Error{ERROR_WRITE_FAULT};
  return Error{package_err::kCorrupt};
}

class MsiHandle {
 public:
  MsiHandle() = default;
  ~MsiHandle() {
    if (h_) MsiCloseHandle(h_);
  }
  MsiHandle(const MsiHandle&) = delete;
  MsiHandle& operator=(const MsiHandle&) = delete;
  MSIHANDLE get() const { return h_; }
  MSIHANDLE* put() {
    if (h_) MsiCloseHandle(h_);
    h_ = 0;
    return &h_;
  }

 private:
  MSIHANDLE h_ = 0;
};

std::wstring RecordString(MSIHANDLE rec, UINT field) {
  DWORD len = 0;
  wchar_t none[1] = {0};
  if (MsiRecordGetStringW(rec, field, none, &len) != ERROR_MORE_DATA && len == 0) return L"";
  std::wstring s(len + 1, L'\0');
  len = static_cast<DWORD>(s.size());
  if (MsiRecordGetStringW(rec, field, &s[0], &len) != ERROR_SUCCESS) return L"";
  s.resize(len);
  return s;
}

// Rows of a query, each handed to `row` until it answers a failure code.
template <class Row>
UINT EachRow(MSIHANDLE db, const wchar_t* sql, Row row) {
  MsiHandle view;
  if (UINT rc = MsiDatabaseOpenViewW(db, sql, view.put())) return rc;
  if (UINT rc = MsiViewExecute(view.get(), 0)) return rc;
  for (;;) {
    MsiHandle rec;
    UINT rc = MsiViewFetch(view.get(), rec.put());
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc) return rc;
    if (UINT failed = row(rec.get())) return failed;
  }
}

}  // namespace

Result<std::vector<PackageEntry>> Win32Packages::ListCabinet(const std::wstring& cabinet) {
  CopyContext ctx;
  if (Status st = RunFdi(cabinet, ctx); !st) return Error{st.code()};
  return ctx.entries;
}

Status Win32Packages::ExtractCabinet(const std::wstring& cabinet, const platform::PlaceEntry& place) {
  CopyContext ctx;
  ctx.place = &place;
  return RunFdi(cabinet, ctx);
}

Result<InstallerContents> Win32Packages::ExtractInstallerStreams(const std::wstring& database,
                                                                 const platform::PlaceEntry& place) {
  MsiHandle db;
  if (UINT rc = MsiOpenDatabaseW(AddLongPathPrefix(database).c_str(), MSIDBOPEN_READONLY, db.put())) return Error{rc};
  InstallerContents contents;
  UINT rc = EachRow(db.get(), L"SELECT `Name`, `Data` FROM `_Streams`", [&](MSIHANDLE rec) -> UINT {
    std::wstring name = RecordString(rec, 1);
    DWORD size = MsiRecordDataSize(rec, 2);
    // The first bytes tell a cabinet, which gets ".cab".
    char head[4] = {};
    DWORD got = sizeof head;
    if (UINT r = MsiRecordReadStream(rec, 2, head, &got)) return r;
    if (got == 4 && head[0] == 'M' && head[1] == 'S' && head[2] == 'C' && head[3] == 'F') name += L".cab";
    std::wstring to = place({name, size});
    if (to.empty()) return ERROR_SUCCESS;
    unique_owner<hfile_traits> out(
        CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return GetLastError();
    std::string buf(head, got);
    uint64_t written = 0;
    for (;;) {
      DWORD put = 0;
      if (!buf.empty() && !WriteFile(out.get(), buf.data(), static_cast<DWORD>(buf.size()), &put, nullptr))
        return GetLastError();
      written += buf.size();
      // Never more than the size the table announced.
      if (written >= size) break;
      buf.resize(65536);
      DWORD n = static_cast<DWORD>(buf.size());
      if (UINT r = MsiRecordReadStream(rec, 2, &buf[0], &n)) return r;
      if (n == 0) break;
      buf.resize(n);
    }
    contents.written.push_back(to);
    return ERROR_SUCCESS;
  });
  if (rc) return Error{rc};
  // A database without storages may have no `_Storages` table at all.
  EachRow(db.get(), L"SELECT `Name` FROM `_Storages`", [&](MSIHANDLE rec) -> UINT {
    contents.storagesNotRead.push_back(RecordString(rec, 1));
    return ERROR_SUCCESS;
  });
  return contents;
}

}  // namespace corvex::win32
