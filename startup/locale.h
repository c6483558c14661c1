// locale.h -- the locale library as far as the tool needs it: the lazy
// start from CLIENT_LOCALE / DBNLS + LC_* / the default, code sets of locale
// names "lang_TERRITORY.codeset" (ISO 8859 single-byte sets and UTF-8),
// stepping one character, and message directory names.
#pragma once

#include <cstddef>
#include <string>

namespace kvf {

// Failure codes of the start.
inline constexpr int kLocaleBadName = -23101;      // missing, too long or unknown
inline constexpr int kLocaleNoMemory = -23102;
inline constexpr int kLocaleNoConversion = -23104;  // database locale unusable
inline constexpr int kLocaleBadCtype = -23109;      // LC_CTYPE beginning with "0"
inline constexpr int kLocaleMixedCodesets = -23115;
inline constexpr int kLocaleCheckFailed = -34394;   // "ABCDE" stepping check

// The default locale as the library writes it, and as the catalogue does.
inline constexpr const char* kDefaultLocale = "en_us.8859-1";
inline constexpr const char* kEnglishLocale = "en_US.8859-1";

// Starts the library in client mode unless it is started or starting;
// 0 or a failure code. A failed start may be tried again.
int ensure_locale_started();
bool locale_started();

// Message directory of a locale name ("en_US.8859-1" gives "en_us/0333");
// false when the name is no locale the library knows.
bool locale_message_dir(const char* locale, std::string& dir);

// True when a code set is loaded (after a successful start).
bool locale_codeset_loaded();
bool locale_multibyte();

// Bytes of the character at `p` in the current code set (1 for the NUL);
// 0 for an invalid sequence, which also sets the error slot.
std::size_t locale_char_bytes(const char* p);
// Bytes of the string in the current code set, terminator included; an
// invalid sequence sets the error slot.
std::size_t locale_string_bytes(const char* s);
// The error slot of the current locale (an errno-like number).
int& locale_error();

// Forgets the start so that the next call starts again (tests).
void locale_reset_for_tests();

}  // namespace kvf
