// locale.cpp -- the locale start of client mode: choosing the client and
// database locales from the settings, the environment variables the start
// leaves behind, and the code-set services the catalogue relies on.
#include "startup/locale.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "startup/settings.h"

namespace kvf {
namespace {

struct CodeSet {
  const char* name;  // as written after the dot, compared case-blind
  int number;        // registered code-set number, names the message directory
  bool multibyte;
};

constexpr CodeSet kCodesets[] = {
    {"8859-1", 819, false},  {"8859-2", 912, false},   {"8859-3", 913, false},
    {"8859-4", 914, false},  {"8859-5", 915, false},   {"8859-6", 1089, false},
    {"8859-7", 813, false},  {"8859-8", 916, false},   {"8859-9", 920, false},
    {"8859-13", 921, false}, {"8859-15", 923, false},  {"utf8", 57372, true},
    {"utf-8", 57372, true},
};

constexpr std::size_t kMaxLocaleName = 285;
constexpr std::size_t kMaxCategory = 36;

// Process-wide start state; the program starts the library from its main
// thread, before any other thread exists.
struct LocaleState {
  bool started = false;
  bool starting = false;
  const CodeSet* codeset = nullptr;  // of the client locale's character type
  bool unicode_engine = false;       // GL_USEGLU 1 or 2
  int error = 0;
} g_locale;

int lower(int c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

bool equal_blind(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (lower(static_cast<unsigned char>(*a)) != lower(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

// Parses "lang_TERRITORY.codeset"; null when the name is no known locale.
const CodeSet* parse_locale(const char* name, std::string* lang_territory) {
  if (!name) return nullptr;
  const char* underscore = std::strchr(name, '_');
  const char* dot = std::strchr(name, '.');
  if (!underscore || !dot || underscore == name || dot < underscore + 2) return nullptr;
  for (const char* p = name; p < dot; ++p) {
    if (p == underscore) continue;
    if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z'))) return nullptr;
  }
  for (const CodeSet& cs : kCodesets) {
    if (equal_blind(dot + 1, cs.name)) {
      if (lang_territory) {
        lang_territory->clear();
        for (const char* p = name; p < dot; ++p) *lang_territory += static_cast<char>(lower(*p));
      }
      return &cs;
    }
  }
  return nullptr;
}

int load_locale(const char* name, const CodeSet** codeset) {
  if (!name || std::strlen(name) > kMaxLocaleName) return kLocaleBadName;
  *codeset = parse_locale(name, nullptr);
  return *codeset ? 0 : kLocaleBadName;
}

bool one_or_two(const char* v) { return v && (std::strcmp(v, "1") == 0 || std::strcmp(v, "2") == 0); }

std::string cut(const char* v) {
  std::string s = v ? v : "";
  if (s.size() > kMaxCategory) s.resize(kMaxCategory);
  return s;
}

int start_client_mode() {
  const char* glu = ggetenv_idx("GL_USEGLU", kVarGlUseglu);
  int glu_value = glu ? std::atoi(glu) : 0;
  g_locale.unicode_engine = glu_value == 1 || glu_value == 2;

  // The client locale: all categories from CLIENT_LOCALE, or composed from
  // the LC_* categories under DBNLS, or the default.
  const char* client_env = ggetenv_idx("CLIENT_LOCALE", kVarClientLocale);
  std::string client = client_env ? client_env : "";
  bool nls = one_or_two(ggetenv_idx("DBNLS", kVarDbnls));
  bool from_client_locale = client_env != nullptr;
  const CodeSet* codeset = nullptr;
  std::string categories[5];
  if (client_env) {
    if (int rc = load_locale(client_env, &codeset); rc != 0) return rc;
    for (auto& c : categories) c = client;
  } else if (nls) {
    for (int i = 0; i < 5; ++i) {
      const char* name = known_variables[kVarLcCollate + i].name;
      categories[i] = cut(ggetenv_idx(name, kVarLcCollate + i));
    }
    const std::string& ctype = categories[1];
    if (!ctype.empty() && ctype[0] == '0') return kLocaleBadCtype;
    const CodeSet* ctype_codeset = nullptr;
    if (int rc = load_locale(ctype.empty() ? nullptr : ctype.c_str(), &ctype_codeset); rc != 0)
      return rc;
    for (const auto& c : categories) {
      const CodeSet* cs = nullptr;
      if (int rc = load_locale(c.empty() ? nullptr : c.c_str(), &cs); rc != 0) return rc;
      if (cs->number != ctype_codeset->number) return kLocaleMixedCodesets;
    }
    codeset = ctype_codeset;
    client = ctype;
  } else {
    if (int rc = load_locale(kDefaultLocale, &codeset); rc != 0) return rc;
    ::setenv("CLIENT_LOCALE", kEnglishLocale, 1);
    client = kDefaultLocale;
    for (auto& c : categories) c = client;
  }

  g_locale.codeset = codeset;
  // Stepping one character from the start of "ABCDE" must land on "BCDE".
  const char* abc = "ABCDE";
  if (locale_char_bytes(abc) != 1 || std::strcmp(abc + 1, "BCDE") != 0) {
    g_locale.codeset = nullptr;
    return kLocaleCheckFailed;
  }

  if (from_client_locale && nls) {
    static const char* const names[5] = {"LC_COLLATE", "LC_CTYPE", "LC_MONETARY", "LC_NUMERIC",
                                         "LC_TIME"};
    for (int i = 0; i < 5; ++i) ::setenv(names[i], categories[i].c_str(), 1);
  }

  // The database locale, and conversion between it and the client's.
  const char* db = ggetenv_idx("DB_LOCALE", kVarDbLocale);
  std::string db_locale = db ? db : client;
  if (!db && from_client_locale && !ggetenv_idx("DBNLS", kVarDbnls))
    ::setenv("DB_LOCALE", db_locale.c_str(), 1);
  const CodeSet* db_codeset = nullptr;
  if (load_locale(db_locale.c_str(), &db_codeset) != 0) {
    g_locale.codeset = nullptr;
    return kLocaleNoConversion;
  }
  return 0;
}

}  // namespace

int ensure_locale_started() {
  if (g_locale.started || g_locale.starting) return 0;
  // Marked before the settings are read: the settings load that the start
  // triggers calls back here and must find the start under way.
  g_locale.starting = true;
  int rc = start_client_mode();
  g_locale.starting = false;
  if (rc == 0) g_locale.started = true;
  return rc;
}

bool locale_started() { return g_locale.started; }

bool locale_message_dir(const char* locale, std::string& dir) {
  std::string lang_territory;
  const CodeSet* cs = parse_locale(locale, &lang_territory);
  if (!cs) return false;
  static const char hex[] = "0123456789abcdef";
  dir = lang_territory + "/";
  for (int shift = 12; shift >= 0; shift -= 4) dir += hex[(cs->number >> shift) & 0xF];
  return true;
}

bool locale_codeset_loaded() { return g_locale.codeset != nullptr; }

bool locale_multibyte() { return g_locale.codeset && g_locale.codeset->multibyte; }

std::size_t locale_char_bytes(const char* p) {
  auto b = static_cast<unsigned char>(*p);
  if (!locale_multibyte() || b < 0x80) return 1;
  std::size_t n = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) {
      n = 0;
      break;
    }
  }
  if (n == 0) g_locale.error = EILSEQ;
  return n;
}

std::size_t locale_string_bytes(const char* s) {
  std::size_t total = 0;
  while (s[total]) {
    std::size_t n = locale_char_bytes(s + total);
    if (n == 0) return total + 1;
    total += n;
  }
  return total + 1;
}

int& locale_error() { return g_locale.error; }

void locale_reset_for_tests() { g_locale = LocaleState{}; }

}  // namespace kvf
