// File-name matching with the Windows wildcard rules: '*' any run of
// characters, '?' exactly one, letters compare without case, and a trailing
// ".*" also matches a name with no dot at all ("*.*" matches every name).
#pragma once

namespace druvo {

bool WildcardMatch(const char* pattern, const char* name);

}  // namespace druvo
