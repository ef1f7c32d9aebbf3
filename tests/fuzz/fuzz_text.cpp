// Script and log text decoding: every encoding the readers detect, forced
// UTF-16 and 8-bit text, and any line ends.
#include "core/text_reader.h"
#include "fuzz_support.h"

using namespace corvex;
using namespace corvex::fuzz;

FUZZ_TARGET(fuzz_text)(const uint8_t* data, size_t size) {
  const std::string bytes = Bytes(data, size);
  for (TextDecoding how : {TextDecoding::kDetect, TextDecoding::kUtf16, TextDecoding::kEightBit}) {
    std::wstring t = DecodeText(bytes, how);
    FUZZ_CHECK(LinesEndWithCrLf(t), "a line feed without its carriage return");
    // Decoded text is written back (logs, the store) as UTF-16 and must
    // survive that unchanged.
    FUZZ_CHECK(DecodeText(AsUtf16File(t)) == t, "text changed through a UTF-16 round trip");
    if (how == TextDecoding::kEightBit) {
      // 8-bit text: one character a byte, plus the CRs put before bare LFs.
      size_t lf = 0;
      for (size_t i = 0; i < size; ++i) lf += data[i] == '\n' && (i == 0 || data[i - 1] != '\r');
      FUZZ_CHECK(t.size() == size + lf, "8-bit text lost or gained characters");
    }
  }
  return 0;
}
