// The program's version text, shown by the command line and the status document.
#pragma once

namespace version {

// The version of this build.
inline constexpr const char* kText = "0.1.0";

}  // namespace version
