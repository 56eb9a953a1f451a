// Base64 with the standard alphabet and "=" padding, no line breaks. The byte forms here are the
// codec itself; CUtil::Base64Encode / Base64Decode wrap them with the text rules (stop at the
// first NUL). The decoder takes any bytes: characters outside the alphabet are skipped, the
// first "=" ends the input, and it never reads or writes beyond the sizes it is given.
#pragma once

#include <cstddef>
#include <string>

namespace base64 {

std::string Encode(const void* data, size_t len);
// Appends the decoded bytes to `out` (a trailing group of one character carries no byte and is
// dropped).
void Decode(const char* text, size_t len, std::string* out);

}  // namespace base64
