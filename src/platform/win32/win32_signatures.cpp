// Authenticode through WinVerifyTrust, then the signer's chain as the trust
// provider built it. A verified chain proves only that some trusted root
// vouches for the signer: the root itself must be one of Microsoft's, and
// the signer's certificate must name Microsoft Corporation.
#include "platform/win32/win32_backend.h"

#include <softpub.h>
#include <wintrust.h>

namespace corvex::win32 {

namespace {

// SHA-1 thumbprints of the root authorities under which Microsoft signs its
// packages and redistributables.
constexpr const char* kMicrosoftRoots[] = {
    "a43489159a520f0d93d032ccaf37e7fe20a8b419",  // Microsoft Root Authority
    "cdd4eeae6000ac7f40c3802c171e30148030c072",  // Microsoft Root Certificate Authority
    "3b1efd3a66ea28b16697394703a72ca340a05bd5",  // Microsoft Root Certificate Authority 2010
    "8f43288ad272f3103b6fb1428485ea3014c0bcfe",  // Microsoft Root Certificate Authority 2011
};

std::string Thumbprint(PCCERT_CONTEXT cert) {
  BYTE hash[20];
  DWORD size = sizeof hash;
  if (!CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &size) || size != sizeof hash)
    return "";
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (BYTE b : hash) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

bool IsMicrosoftRoot(PCCERT_CONTEXT cert) {
  const std::string thumbprint = Thumbprint(cert);
  for (const char* known : kMicrosoftRoots)
    if (thumbprint == known) return true;
  return false;
}

// The subject's O= attribute; "" when it has none.
std::wstring Organization(PCCERT_CONTEXT cert) {
  char oid[] = szOID_ORGANIZATION_NAME;
  wchar_t name[256] = {};
  DWORD length = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, name, 256);
  return length > 1 ? std::wstring(name) : std::wstring();
}

// The verification's state is released whatever the answer.
struct TrustState {
  WINTRUST_DATA& data;
  GUID& action;
  ~TrustState() {
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  }
};

}  // namespace

Result<platform::Signer> Win32Signatures::VerifyMicrosoftSignature(const std::wstring& path) {
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = path.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  // A revoked signing certificate is refused; a revocation server that
  // cannot be reached refuses too, which only costs a package.
  data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  TrustState state{data, action};
  if (verdict != ERROR_SUCCESS) return Error{static_cast<uint32_t>(verdict)};

  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
  CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  if (!signer || signer->csCertChain == 0 || !signer->pasCertChain) return Error{platform::kTrustNoSignature};
  PCCERT_CONTEXT leaf = signer->pasCertChain[0].pCert;
  PCCERT_CONTEXT root = signer->pasCertChain[signer->csCertChain - 1].pCert;
  if (!leaf || !root) return Error{platform::kTrustNoSignature};
  if (IsMicrosoftRoot(root) && Organization(leaf) == L"Microsoft Corporation") return platform::Signer::kMicrosoft;
  return platform::Signer::kOther;
}

}  // namespace corvex::win32
