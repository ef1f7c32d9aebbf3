// Test inputs kept under tests/samples.
#pragma once

#include <string>

namespace corvex::testing {

// Bytes of tests/samples/<relative>; "" when missing. Under Wine the Unix
// path is reached through the Z: drive.
std::string ReadSample(const std::string& relative);

}  // namespace corvex::testing
