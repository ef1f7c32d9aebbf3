#include "core/session.h"

namespace corvex {

Session::Session(platform::Platform& platform) : os(platform) {}
Session::~Session() = default;

}  // namespace corvex
