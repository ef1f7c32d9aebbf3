// Names of entries inside update packages (cabinet files, installer
// streams and storages) come from whoever made the package: before one
// becomes a path it must be a plain relative name that stays inside the
// folder it is unpacked into.
#pragma once

#include <string>

namespace corvex {

enum class EntryNameKind {
  kCabinetEntry,    // may hold subfolders: "a\b.txt"
  kInstallerName,   // a stream or storage: one flat name
};

enum class EntryNameFault {
  kNone,
  kEmpty,
  kAbsolute,        // starts at a root, or has a drive letter
  kClimbs,          // a "." or ".." component, or an empty one
  kColon,           // alternate data streams and drive-relative names
  kBadCharacter,    // control characters and <>"|?*
  kDevice,          // CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without extension
  kTrailingDotOrSpace,  // Windows would strip it and land elsewhere
  kSeparator,       // a separator in a flat name
  kTooLong,         // a component over 255 characters
};

EntryNameFault CheckEntryName(const std::wstring& name, EntryNameKind kind);

// Why a name was refused, as the end of a sentence ("it climbs out of its
// folder").
std::wstring EntryNameFaultText(EntryNameFault fault);

// The name as a relative path below a folder: '/' turned into '\'. Only
// for names CheckEntryName accepted.
std::wstring EntryRelativePath(const std::wstring& name);

// A self-extracting package this program knows how to unpack: its file
// name (wildcards, case ignored) and the switch that extracts it, followed
// by the output folder.
struct SelfExtractingKind {
  const wchar_t* fileName;
  const wchar_t* extractSwitch;
};

// The kind of a package by its file name; null for any other program,
// which is never run whoever signed it.
const SelfExtractingKind* FindSelfExtractingKind(const std::wstring& fileName);

}  // namespace corvex
