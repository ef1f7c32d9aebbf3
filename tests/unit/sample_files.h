// Reading the committed test fixtures below tests/samples. Declared outside
// any namespace so every test file finds it unqualified.
#pragma once

#include <string>

// Bytes of CORVEX_SAMPLES_DIR "/" `relative`. Under Wine the Unix path may
// need the "Z:" drive in front, which is tried second. A file that cannot be
// read fails the current test and gives "".
std::string ReadSample(const std::string& relative);
