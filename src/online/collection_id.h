// The collection ID travels inside the program file: its last 8 bytes, as
// ASCII digits. The release build ends the file with "00000000" (no ID) so
// there is room for one.
#pragma once

#include <string>

#include "platform/filesystem.h"
#include "platform/result.h"

namespace corvex {

// The ID in the program file at `path`, in decimal without leading zeros:
// "0" when the last 8 bytes are not 8 digits, "" when the file cannot be
// read. Both count as no ID.
std::wstring ReadCollectionId(platform::FileSystem& fs, const std::wstring& path);

bool HasCollectionId(const std::wstring& id);

// Whether the open file's last 8 bytes are `id`, left-padded with "0".
bool CarriesCollectionId(platform::File& file, const std::wstring& id);

// A server reply that is an ID: 1 to 8 digits, blanks around them allowed.
// The digits without blanks and leading zeros, or "" when it is none.
std::wstring ParseCollectionId(const std::string& reply);

// Copies `from` to `to` (replaced) with `id` as the last 8 bytes, left-padded
// with "0". Streamed: the file is never held whole. Refused with
// ERROR_INVALID_DATA before anything is written when the source does not end
// in 8 digits (a program built without the tail would lose its own bytes)
// or `id` is not an ID.
platform::Status CopyWithCollectionId(platform::FileSystem& fs, const std::wstring& from, const std::wstring& to,
                                      const std::wstring& id);

// Stamps the file in place: a stamped copy beside it, moved over it, so a
// failure leaves the file as it was.
platform::Status StampCollectionId(platform::FileSystem& fs, const std::wstring& path, const std::wstring& id);

}  // namespace corvex
