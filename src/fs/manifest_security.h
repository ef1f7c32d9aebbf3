// The security descriptor that a component manifest declares for one of its
// files: <file name="..."> names a <securityDescriptor name="..."/>, whose
// <securityDescriptorDefinition name="..." sddl="..."/> holds the SDDL.
#pragma once

#include <string>
#include <vector>

#include "script/manifest_digest.h"

namespace corvex {

enum class ManifestLookup {
  kFound,
  kNoFile,            // no <file name="..."> for the name
  kNoDescriptorName,  // the file entry names no security descriptor
  kNoDescriptor,      // no definition of that name
};

struct ManifestSecurity {
  ManifestLookup state = ManifestLookup::kNoFile;
  std::wstring descriptorName;
  std::wstring sddl;
};

// The file name is compared exactly, as the manifest writes it.
ManifestSecurity FindFileSecurity(const std::wstring& manifestText, const std::wstring& fileName);

}  // namespace corvex
