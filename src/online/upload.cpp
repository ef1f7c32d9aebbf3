#include "online/upload.h"

#include <algorithm>

#include "base/path.h"
#include "base/text.h"
#include "core/console_output.h"
#include "core/session_log.h"
#include "core/working_folders.h"
#include "online/collection_id.h"
#include "online/held_file.h"
#include "online/http_transfer.h"
#include "online/servers.h"
#include "online/zip_writer.h"
#include "script/zip_reader.h"

namespace corvex {

namespace {

constexpr wchar_t kBackendPage[] = L"/forums/CorvexCollectionScriptBackend_showthread.php";
constexpr wchar_t kUploadPage[] = L"/Tallwen/apps/Corvex_UploadFile.php";
constexpr char kBoundaryLine[] = "-----------------------------7de2ae30212da";
constexpr size_t kWriteSize = 65536;
// A console whose input has ended answers every key with Enter: after this
// many keys that answer nothing the answer is "no", so nothing is sent
// without the user's yes and the dialogue ends.
constexpr int kKeysBeforeNo = 64;

std::string TrimmedReply(const std::string& reply) {
  size_t first = reply.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return reply.substr(first, reply.find_last_not_of(" \t\r\n") - first + 1);
}

// Downloads a back end query into a file of the Temp folder and reads it.
bool AskBackend(Session& s, const std::wstring& query, const std::wstring& fileName, std::string* reply) {
  const std::wstring url = online::CollectionServerUrl(s, std::wstring(kBackendPage) + query);
  const std::wstring target = TempFolder(s) + L"\\" + fileName;
  CreateFolderChain(s, TempFolder(s));
  platform::Status got = online::DownloadQuietly(s, url, target);
  if (!got.ok()) {
    TraceErrorCode(s, got.code(), L"Failed to download " + url);
    return false;
  }
  auto bytes = s.os.fs.ReadFile(AddLongPathPrefix(target));
  s.os.fs.DeleteFile(AddLongPathPrefix(target));
  if (!bytes.ok()) {
    TraceErrorCode(s, bytes.code(), L"Failed to read " + target);
    return false;
  }
  *reply = std::move(*bytes);
  return true;
}

bool YesNo(Session& s, const std::wstring& question) {
  Print(s, question);
  for (int keys = 0; keys < kKeysBeforeNo; ++keys) {
    wchar_t k = WaitKey(s);
    if (k == L'y' || k == L'Y' || k == L'n' || k == L'N') {
      Print(s, std::wstring(1, k) + L"\n");
      return k == L'y' || k == L'Y';
    }
  }
  Print(s, L"n\n");
  return false;
}

std::wstring ReadLine(Session& s) {
  std::wstring line;
  for (;;) {
    wchar_t k = WaitKey(s);
    if (k == L'\r' || k == L'\n') break;
    if (k == L'\b') {
      if (!line.empty()) {
        line.pop_back();
        Print(s, L"\b \b");
      }
      continue;
    }
    if (static_cast<uint32_t>(k) < 0x20 || line.size() >= 2048) continue;
    line.push_back(k);
    Print(s, std::wstring(1, k));
  }
  Print(s, L"\n");
  return Trim(line);
}

// The questions; the prepare query, or "" when the user is helped nowhere.
std::wstring AskWhoHelps(Session& s) {
  for (;;) {
    Print(s, L"\nIn order to assist you further, your logfiles must now be submitted to our\n"
             L"automated server for initial analysis. Please answer the following two questions"
             L"carefully:");
    std::wstring forum, name, url;
    if (YesNo(s, L"\n 1. Are you currently being advised at Quillmere Forums? y/n: ")) {
      Print(s, L" 2. What is your forum username? ");
      name = ReadLine(s);
      forum = L"1";
    } else if (YesNo(s, L"\n 2. Are you currently being advised anywhere? y/n: ")) {
      Print(s, L" 3. Copy and paste the complete URL to the thread where you are currently being helped: ");
      url = ReadLine(s);
      forum = L"0";
    } else {
      Print(s, L"\n\nSo that we know who the logfiles being collected belong to, please post to\n"
               L"either Quillmere or another internet forum before using this collection script.\n\n"
               L"Corvex will now exit. Press any key to continue . . . ");
      WaitKey(s);
      return L"";
    }
    if (YesNo(s, L"\nHave you entered all of the information above correctly? y/n: "))
      return L"?do=prepare&quillmere=" + forum + L"&username=" + PercentEncode(name) + L"&url=" + PercentEncode(url);
    s.os.console.Clear();
    RedrawFromTranscript(s);
  }
}

// A new ID goes into a copy of the program, which replaces the program at
// the end of the run (the ID restart). The copy sits where the user can
// write and runs elevated: from its check on it is held against writes until
// the restart has started it.
void StampProgramCopy(Session& s, const std::wstring& id) {
  const std::wstring copy = TempFolder(s) + L"\\_CorvexID.exe";
  s.idRestart = false;
  s.idCopyHold.reset();  // an earlier ID of this run gives way
  CreateFolderChain(s, TempFolder(s));
  platform::Status stamped =
      CopyWithCollectionId(s.os.fs, AddLongPathPrefix(s.programPath), AddLongPathPrefix(copy), id);
  std::unique_ptr<platform::File> held, self;
  if (stamped.ok()) {
    held = online::HoldAgainstWrites(s, copy);
    self = online::OpenOwnProgram(s);
  }
  if (!held || !self || !online::SameBodies(*self, *held) || !CarriesCollectionId(*held, id)) {
    if (!stamped.ok()) TraceErrorCode(s, stamped.code(), L"Failed to write collection ID " + id + L" into " + copy);
    held.reset();
    s.os.fs.DeleteFile(AddLongPathPrefix(copy));
    Print(s, L"\nThe new collection ID " + id + L" could not be kept in a checked copy of Corvex; the next "
             L"collection asks for an ID again.\n");
    return;
  }
  TraceInfo(s, L"Collection ID " + id + L" written into " + copy);
  s.idCopyHold = std::move(held);
  s.idRestart = true;
}

// Every item of the file (a zip's entries, else the file) and the size.
std::wstring WhatWillBeSent(platform::File& file, const std::wstring& path, uint64_t size) {
  std::wstring text = L"\nCorvex will send " + PathLeafName(path) + L" (" + Decimal(size) +
                      L" bytes) to the collection server. It holds:\n";
  ZipListing listing;
  if (path.size() > 4 && IEquals(path.substr(path.size() - 4), L".zip")) {
    ZipReader reader(file, path);
    listing = reader.Parse();
  }
  if (listing.error.empty() && !listing.entries.empty()) {
    for (const ZipEntry& e : listing.entries)
      if (!e.folder) text += L"  " + e.name + L" (" + Decimal(e.size) + L" bytes)\n";
  } else {
    text += L"  " + StripLongPathPrefix(path) + L"\n";
  }
  return text;
}

int SendPart(Session& s, platform::File& file, const UploadPart& part, const std::wstring& id,
             const std::string& head, uint64_t fileSize) {
  const std::wstring url = online::CollectionServerUrl(
      s, std::wstring(kUploadPage) + L"?id=" + PercentEncode(id) + L"&part=" + DecimalSigned(part.number));
  const std::string tail = MultipartTail();
  auto post = s.os.http.BeginPost(url, kMultipartContentType, head.size() + part.size + tail.size());
  if (!post.ok()) {
    TraceErrorCode(s, post.code(), L"Failed to connect to " + url);
    return upload::kNoConnection;
  }
  platform::HttpUpload& up = **post;
  platform::Status wrote = up.Write(head.data(), head.size());
  for (uint64_t done = 0; wrote.ok() && done < part.size;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kWriteSize, part.size - done));
    auto block = file.ReadAt(part.offset + done, want);
    if (!block.ok()) {
      TraceErrorCode(s, block.code(), L"Failed to read the file being uploaded");
      return upload::kFailed;
    }
    if (block->size() != want) return upload::kFailed;  // cut short under us
    wrote = up.Write(block->data(), block->size());
    done += want;
    ShowProgress(s, static_cast<double>(part.offset + done), static_cast<double>(fileSize));
  }
  if (wrote.ok()) wrote = up.Write(tail.data(), tail.size());
  if (!wrote.ok()) {
    TraceErrorCode(s, wrote.code(), L"Failed to send part " + DecimalSigned(part.number) + L" to " + url);
    return upload::kFailed;
  }
  auto reply = up.Finish();
  if (!reply.ok()) {
    TraceErrorCode(s, reply.code(), L"No reply to part " + DecimalSigned(part.number) + L" from " + url);
    return upload::kFailed;
  }
  if (reply->status != 200) {
    TraceError(s, L"The server answered part " + DecimalSigned(part.number) + L" with status " +
                      Decimal(reply->status));
    return upload::kRejected;
  }
  return upload::kDone;
}

}  // namespace

const wchar_t kMultipartContentType[] =
    L"Content-Type: multipart/form-data; boundary=---------------------------7de2ae30212da\r\n";

std::vector<UploadPart> UploadParts(uint64_t fileSize) {
  std::vector<UploadPart> parts;
  uint64_t offset = 0;
  do {
    UploadPart p;
    p.offset = offset;
    p.size = std::min(kUploadPartSize, fileSize - offset);
    offset += p.size;
    p.number = offset >= fileSize ? -1 : static_cast<int64_t>(p.offset / kUploadPartSize);
    parts.push_back(p);
  } while (offset < fileSize);
  return parts;
}

std::string MultipartHead(const std::wstring& fileName) {
  return std::string(kBoundaryLine) + "\r\n" +
         "Content-Disposition: form-data; name=\"uploadFile\"; filename=\"" + ToUtf8(fileName) + "\"\r\n" +
         "Content-Type: text/plain\r\n\r\n";
}

std::string MultipartTail() { return std::string("\r\n") + kBoundaryLine + "--\r\n"; }

std::wstring PercentEncode(const std::wstring& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::wstring out;
  for (unsigned char c : ToUtf8(text)) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~') {
      out.push_back(static_cast<wchar_t>(c));
    } else {
      out += L'%';
      out.push_back(static_cast<wchar_t>(kHex[c >> 4]));
      out.push_back(static_cast<wchar_t>(kHex[c & 0xF]));
    }
  }
  return out;
}

bool IsFinalizeFailure(const std::string& reply) { return TrimmedReply(reply) == "Failed"; }

bool IsUnknownIdReply(const std::string& reply) { return TrimmedReply(reply) == "invalid"; }

std::wstring GetCollectionId(Session& s, Submission kind) {
  std::wstring query;
  if (kind != Submission::kUser) {
    query = kind == Submission::kRegistryScan ? L"?do=prepare&isreg=1" : L"?do=prepare&iscrashdump=1";
  } else {
    const std::wstring known = ReadCollectionId(s.os.fs, AddLongPathPrefix(s.programPath));
    std::string reply;
    if (HasCollectionId(known)) {
      // A failed check keeps the ID: the upload then finds out whether the
      // server can be reached at all.
      if (!AskBackend(s, L"?do=verify&id=" + known, L"verify.txt", &reply) || !IsUnknownIdReply(reply))
        return known;
      TraceInfo(s, L"Collection ID " + known + L" is unknown to the server");
    }
    query = AskWhoHelps(s);
    if (query.empty()) return L"ABORTED";
  }
  std::string reply;
  if (!AskBackend(s, query, L"prepare.txt", &reply)) return L"Failed";
  const std::wstring id = ParseCollectionId(reply);
  if (id.empty()) {
    TraceError(s, L"The collection server gave no ID: \"" + FromLatin1(TrimmedReply(reply).substr(0, 80)) + L"\"");
    return L"Failed";
  }
  if (kind == Submission::kUser) StampProgramCopy(s, id);
  return id;
}

bool Finalize(Session& s, const std::wstring& id, bool privately, const std::wstring& extension) {
  std::string reply;
  if (!AskBackend(s,
                  L"?do=finalize&id=" + PercentEncode(id) + L"&private=" + (privately ? L"1" : L"0") + L"&ext=" +
                      PercentEncode(extension),
                  L"finalize.txt", &reply))
    return false;
  return !IsFinalizeFailure(reply);
}

int UploadFile(Session& s, const std::wstring& path, Submission kind, bool privately, std::wstring* report) {
  auto opened = s.os.fs.Open(AddLongPathPrefix(path), platform::access::kRead, platform::share::kRead,
                             platform::Disposition::kOpenExisting);
  if (!opened.ok()) {
    TraceErrorCode(s, opened.code(), L"Failed to open " + path + L" for upload");
    return upload::kFailed;
  }
  platform::File& file = **opened;
  auto size = file.Size();
  if (!size.ok()) return upload::kFailed;

  // Nothing leaves the machine before the user has seen what it is.
  const std::wstring listing = WhatWillBeSent(file, path, *size);
  Print(s, listing);
  if (report)
    *report += ReplaceAll(listing.substr(1), L"\n", L"\r\n");
  else
    AppendToSessionLog(s, ReplaceAll(listing, L"\n", L"\r\n"));

  const std::wstring id = GetCollectionId(s, kind);
  if (id == L"ABORTED") return upload::kAborted;
  if (id == L"Failed") return upload::kFailed;

  const std::string head = MultipartHead(PathLeafName(StripLongPathPrefix(path)));
  for (const UploadPart& part : UploadParts(*size)) {
    int sent = SendPart(s, file, part, id, head, *size);
    if (sent != upload::kDone) {
      Print(s, L"\n");
      return sent;
    }
  }
  Print(s, L"\n");
  const std::wstring leaf = PathLeafName(StripLongPathPrefix(path));
  size_t dot = leaf.rfind(L'.');
  if (!Finalize(s, id, privately, dot == std::wstring::npos ? L"" : leaf.substr(dot + 1)))
    return upload::kFinalizeFailed;
  TraceInfo(s, L"Uploaded " + path + L" as collection " + id);
  return upload::kDone;
}

}  // namespace corvex
