// catalogue_lookup.cpp -- rgetlmsg/rgetmsg: the entry search over a .vem
// index (cached block, then a binary search in blocks of up to 8 entries),
// the English retry, and the fallback texts 32765 and 32766.
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>

#include "platform/files.h"
#include "startup/catalogue.h"
#include "startup/catalogue_format.h"
#include "startup/catalogue_state.h"
#include "startup/locale.h"
#include "startup/settings.h"

namespace kvf {
namespace {

thread_local std::unique_ptr<CatalogueState> t_state;

void close_file(CatalogueState& s) {
  if (s.fd >= 0) sys::close(s.fd);
  s.fd = -1;
}

bool free_fd_wanted() { return ggetenv_idx("VLM_FREE_FD", kVarVlmFreeFd) != nullptr; }

// Copies `text` into the buffer, cut to size-1 bytes and a terminator.
void copy_cut(char* buffer, int size, const char* text) {
  if (size <= 0) return;
  std::size_t n = std::strlen(text);
  if (n > static_cast<std::size_t>(size - 1)) n = static_cast<std::size_t>(size - 1);
  std::memmove(buffer, text, n);
  buffer[n] = '\0';
}

const char* locale_failure_text(int code) {
  switch (code) {
    case -23111: return "Internal error.  Illegal argument for locale initialization.";
    case -23115: return "Code sets of the locale categories are not the same.";
    case -23102: return "Memory allocation failed during locale processing.";
    case -23110: return "An error occurred during environment variable processing.";
    case -23108: return "An error occurred during locale structure creation.";
    case -23104: return "Error opening required code-set conversion object file.";
    case -1212: return "Date conversion format must contain a month, day, and year component.";
    case -1211: return "Out of memory.";
    default: return "Unable to load locale categories.";
  }
}

// Looks for `n` in the cached block's index entries.
bool scan_block(const CatalogueState& s, std::int32_t n, int entries, vem::Entry& hit) {
  for (int i = 0; i < entries; ++i) {
    vem::Entry e = vem::decode_entry(s.block + static_cast<std::size_t>(i) * s.width, s.width);
    if (e.number == n) {
      hit = e;
      return true;
    }
  }
  return false;
}

int open_catalogue(CatalogueState& s, const char* file, const char* locale) {
  std::memset(s.block, 0, sizeof s.block);
  s.block_entries = 0;
  s.open_name.clear();
  if (!find_catalogue_path(s, file, locale)) return kMsgNoPath;
  close_file(s);
  s.fd = sys::open(s.path, O_RDONLY);
  if (s.fd < 0) return kMsgCantOpen;
  unsigned char header[vem::kHeaderSize];
  std::uint16_t magic = 0;
  if (sys::read_full(s.fd, header, sizeof header) == static_cast<ssize_t>(sizeof header))
    magic = vem::get_u16(header + vem::kHeaderMagic);
  if (magic == vem::kMagicNarrow) s.width = vem::kNarrowSize;
  else if (magic == vem::kMagicWide) s.width = vem::kWideSize;
  else {
    close_file(s);
    return kMsgBadMagic;
  }
  s.count = vem::get_i16(header + vem::kHeaderCount);
  s.open_name = file;
  s.block_count = s.count < vem::kBlockEntries ? s.count : vem::kBlockEntries;
  return 0;
}

// Binary search over the index in blocks of B entries. A block is cut at
// the index's end, so the bytes after the index are never taken for entries.
int search_index(CatalogueState& s, std::int32_t n, vem::Entry& hit) {
  const int b = s.block_count;
  int lo = 0, hi = s.count - 1;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    int want = s.count - mid < b ? s.count - mid : b;
    off_t at = static_cast<off_t>(vem::kHeaderSize + static_cast<std::size_t>(mid) * s.width);
    s.block_entries = 0;
    if (sys::seek(s.fd, at, SEEK_SET) != at) return kMsgShortIndex;
    std::size_t bytes = static_cast<std::size_t>(want) * s.width;
    ssize_t got = sys::read_full(s.fd, s.block, bytes);
    if (got < 0 || static_cast<std::size_t>(got) / s.width != static_cast<std::size_t>(want))
      return kMsgShortIndex;
    s.block_entries = want;
    if (n < vem::decode_entry(s.block, s.width).number) {
      hi = mid - 1;
    } else {
      if (scan_block(s, n, want, hit)) return 0;
      lo = mid + b;
    }
  }
  return kMsgNotInFile;
}

// Finds the entry of `n`, leaving the file positioned at its text.
int find_entry(CatalogueState& s, std::int32_t n, const char* locale, vem::Entry& hit) {
  const char* file = catalogue_file_for(n);
  bool found = false;
  if (s.fd >= 0 && s.open_name == file) {
    // Only the block's index entries: a block cut at the index's end holds
    // fewer than min(8, N).
    found = scan_block(s, n, s.block_entries, hit);
  } else {
    if (int rc = open_catalogue(s, file, locale); rc != 0) return rc;
  }
  int rc = 0;
  if (!found) {
    if (s.block_count <= 0) rc = kMsgNotInFile;
    else rc = search_index(s, n, hit);
    if (rc != 0) {
      if (free_fd_wanted()) close_file(s);
      return rc;
    }
  }
  if (hit.length < 0 || hit.offset < 0 || sys::seek(s.fd, hit.offset, SEEK_SET) != hit.offset) {
    if (free_fd_wanted()) close_file(s);
    return kMsgShortIndex;
  }
  return 0;
}

// Bytes of text a buffer of `size` holds besides its terminator.
std::size_t room(int size) { return size > 1 ? static_cast<std::size_t>(size - 1) : 0; }

// The fallback texts are formats for one argument, the file name or the
// number; what they fill and what they leave as written is decided in
// format_catalogue_text.
int fallback(std::int32_t n, int code, char* b, std::int16_t size) {
  if (code == kMsgCantOpen) {
    if (n == kMsgCannotOpenFile) return -1;
    const char* file = catalogue_file_for(n);
    std::string format = "Cannot open file '%s'\n";
    if (rgetmsg_locale(kMsgCannotOpenFile, b, size, nullptr, nullptr, 0) == 0) format = b;
    std::string text = format_catalogue_text(format.c_str(), CatalogueArgument::string(file), room(size));
    copy_cut(b, size, text.c_str());
    return code;
  }
  if (n == kMsgUnknownNumber) return -1;
  std::string format = "Unknown error message number '%d'\n";
  if (rgetmsg_locale(kMsgUnknownNumber, b, size, nullptr, nullptr, 0) == 0) format = b;
  std::string text = format_catalogue_text(format.c_str(), CatalogueArgument::integer(n), room(size));
  copy_cut(b, size, text.c_str());
  return code;
}

}  // namespace

CatalogueState* catalogue_state() {
  if (!t_state) t_state.reset(new (std::nothrow) CatalogueState);
  return t_state.get();
}

std::int32_t rgetmsg_locale(std::int32_t n, char* b, std::int16_t size, std::int32_t* length,
                            const char* locale, int /*flags*/) {
  if (int rc = ensure_locale_started(); rc != 0) {
    copy_cut(b, size, locale_failure_text(rc));
    return rc;
  }
  CatalogueState* s = catalogue_state();
  if (!s) return kMsgNoMemory;

  vem::Entry hit{};
  int rc = find_entry(*s, n, locale, hit);
  if (rc != 0) {
    const char* dblang = ggetenv_idx("DBLANG", kVarDblang);
    if (dblang && std::strcmp(dblang, kEnglishLocale) == 0) return fallback(n, rc, b, size);
    s->open_name.clear();
    rc = find_entry(*s, n, kEnglishLocale, hit);
    s->open_name.clear();
    if (rc != 0) return fallback(n, rc, b, size);
  }

  if (length) *length = hit.length;
  int want = size > hit.length ? hit.length : size - 1;
  int status = size > hit.length ? kMsgOk : kMsgCut;
  if (want < 0) return kMsgCut;  // no room even for the terminator
  ssize_t got = sys::read_full(s->fd, b, static_cast<std::size_t>(want));
  if (free_fd_wanted()) close_file(*s);
  if (got != want) {
    b[got > 0 ? got : 0] = '\0';
    return kMsgShortIndex;
  }
  b[want] = '\0';
  return status;
}

std::int32_t rgetlmsg(std::int32_t number, char* buffer, std::int16_t size, std::int32_t* length) {
  return rgetmsg_locale(number, buffer, size, length, nullptr, 0);
}

std::int32_t rgetmsg(std::int32_t number, char* buffer, std::int16_t size) {
  return rgetmsg_locale(number, buffer, size, nullptr, nullptr, 0);
}

}  // namespace kvf
