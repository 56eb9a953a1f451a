// Code-page conversion with iconv. The ANSI code page (the code set of the client's narrow text)
// is the locale's character set (normally UTF-8); tests may set another one (GBK) to check the
// conversions.
#pragma once

#include <string>

namespace platform {

std::string AnsiCodeset();                               // e.g. "UTF-8"
void SetAnsiCodesetForTest(const std::string& codeset);  // empty restores the locale's

// Converts `in` from one iconv code set to another; false when iconv cannot open the pair or the
// input cannot be converted (`out` then holds what was converted before the fault).
bool ConvertCodeset(const std::string& from, const std::string& to, const std::string& in, std::string* out);

}  // namespace platform
