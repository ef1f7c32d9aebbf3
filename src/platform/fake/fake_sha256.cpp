// SHA-256 of in-memory bytes: libcrypto natively, CryptoAPI when the tests
// are cross-built for Windows.
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#else
#include <openssl/sha.h>
#endif

namespace corvex::fake {

std::vector<uint8_t> Sha256(const std::string& bytes) {
  std::vector<uint8_t> digest(32);
#ifdef _WIN32
  HCRYPTPROV prov = 0;
  HCRYPTHASH hash = 0;
  DWORD len = 32;
  if (CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    if (CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) {
      CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0);
      CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &len, 0);
      CryptDestroyHash(hash);
    }
    CryptReleaseContext(prov, 0);
  }
#else
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
#endif
  return digest;
}

}  // namespace corvex::fake
