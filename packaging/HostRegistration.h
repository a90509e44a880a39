// Whether two builds of the host register the same: what "/Service" writes
// besides the service comes from the host's registration script and type
// library resources, with the host's own path filled in.
#pragma once

#include <string>

// True when both programs carry the same "REGISTRY" and "TYPELIB"
// resources, byte for byte; false when either cannot be read.
bool HasSameRegistration(const std::wstring& left, const std::wstring& right);
