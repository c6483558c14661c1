// catalogue_text.cpp -- rldmsg (the text in a growing per-thread buffer,
// copied into the thread's pool without its newline) and msgtext, the
// wrapper that never fails and leaves errno alone.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "startup/catalogue.h"
#include "startup/catalogue_state.h"

namespace kvf {
namespace {

constexpr std::size_t kFirstWorkSize = 512;

// Shared by every thread: the "not found" text of msgtext.
char g_not_found[64];

}  // namespace

char* CopyPool::allocate(std::size_t bytes) {
  std::size_t rounded = (bytes + 7) / 8 * 8;
  if (rounded == 0) rounded = 8;
  if (rounded >= kOwnBlock) {
    blocks_.emplace_back(new char[rounded]);
    return blocks_.back().get();
  }
  if (used_ + rounded > kBlock) {
    blocks_.emplace_back(new char[kBlock]);
    current_ = blocks_.back().get();
    used_ = 0;
  }
  char* p = current_ + used_;
  used_ += rounded;
  return p;
}

const char* rldmsg(std::int32_t number, const char* locale) {
  CatalogueState* s = catalogue_state();
  if (!s) return nullptr;
  try {
    if (s->work.empty()) s->work.resize(kFirstWorkSize);
    std::int32_t length = 0;
    std::int32_t rc = rgetmsg_locale(number, s->work.data(), static_cast<std::int16_t>(s->work.size()),
                                     &length, locale, 0);
    while (rc == kMsgCut) {
      // The size is a 16-bit count: a text of 32,767 bytes or more cannot
      // be read whole, and gives no text.
      if (length < 0 || length >= vem::kMaxText) return nullptr;
      s->work.resize(static_cast<std::size_t>(length) + 1);
      rc = rgetmsg_locale(number, s->work.data(), static_cast<std::int16_t>(s->work.size()),
                          &length, locale, 0);
    }
    if (rc != kMsgOk) return nullptr;
    std::size_t n = std::strlen(s->work.data());
    if (n > 0) s->work[--n] = '\0';
    char* copy = s->pool.allocate(n + 1);
    std::memcpy(copy, s->work.data(), n + 1);
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

const char* msgtext(std::int32_t number) {
  int saved = errno;
  const char* text = rldmsg(number, nullptr);
  errno = saved;
  if (text) return text;
  std::snprintf(g_not_found, sizeof g_not_found, "Message %d not found.\n", static_cast<int>(number));
  return g_not_found;
}

}  // namespace kvf
