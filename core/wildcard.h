// File-name matching with the Windows wildcard rules: '*' any run of
// characters, '?' exactly one, letters compare without case, and a trailing
// ".*" also matches a name with no dot at all ("*.*" matches every name).
#pragma once

#include <string>

namespace druvo {

bool WildcardMatch(const char* pattern, const char* name);

// Whether some file name matches both patterns; *both gets one such name.
// Two druvos may share a folder only when no name can.
bool WildcardsOverlap(const std::string& a, const std::string& b, std::string* both);

}  // namespace druvo
