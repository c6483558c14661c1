// Catalogue formats: the conversion that fits the argument gives what the C
// library gives for the same conversion, over every combination of flags,
// width, precision and length; everything else prints as written; the
// output is cut at the limit.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "startup/catalogue_format.h"

namespace {

using kvf::CatalogueArgument;
using kvf::format_catalogue_text;

// What snprintf makes of `format` with the one argument `value`.
template <typename T>
std::string c_library(const std::string& format, T value) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format.c_str(), value);
  return buf;
}

const std::vector<std::string> kFlagSets = [] {
  std::vector<std::string> sets;
  const char flags[] = {'-', '+', ' ', '0'};
  for (int mask = 0; mask < 16; ++mask) {
    std::string s;
    for (int i = 0; i < 4; ++i)
      if (mask & (1 << i)) s += flags[i];
    sets.push_back(s);
  }
  sets.push_back("0-");  // order and repetition do not matter
  sets.push_back("++0 ");
  return sets;
}();
const std::vector<std::string> kWidths = {"", "1", "5", "12"};
const std::vector<std::string> kPrecisions = {"", ".", ".0", ".3", ".12"};

TEST(CatalogueFormat, NumberConversionsAsTheCLibrary) {
  const std::vector<std::int32_t> values = {0, 1, -1, 42, -42, 127, 128, 255, -129, 32767, 32768,
                                            65535, -32769, 100000, INT32_MAX, INT32_MIN};
  for (const std::string& flags : kFlagSets)
    for (const std::string& width : kWidths)
      for (const std::string& precision : kPrecisions)
        for (const char* length : {"", "hh", "h", "l"})
          for (char letter : {'d', 'i'})
            for (std::int32_t v : values) {
              std::string conversion = "%" + flags + width + precision;
              // long is 32 bits in these formats: %ld of the number is %d.
              std::string want = c_library("<" + conversion + (length[0] == 'l' ? "" : length) + letter + ">", v);
              std::string got = format_catalogue_text(("<" + conversion + length + letter + ">").c_str(),
                                                      CatalogueArgument::integer(v));
              ASSERT_EQ(got, want) << conversion << length << letter << " of " << v;
            }
}

TEST(CatalogueFormat, StringConversionsAsTheCLibrary) {
  for (std::string flags : {"", "-", "+", " ", "-+ ", " -"})
    for (const std::string& width : kWidths)
      for (const std::string& precision : kPrecisions)
        for (const char* s : {"", "a", "winsrv.vem", "a file name of 22 bytes"}) {
          std::string format = "<%" + flags + width + precision + "s>";
          ASSERT_EQ(format_catalogue_text(format.c_str(), CatalogueArgument::string(s)), c_library(format, s))
              << format << " of '" << s << "'";
        }
}

TEST(CatalogueFormat, WhatIsNotFilledPrintsAsWritten) {
  struct Case {
    const char* format;
    CatalogueArgument arg;
    const char* want;
  };
  const auto none = CatalogueArgument{};
  const auto num = CatalogueArgument::integer(5);
  const auto str = CatalogueArgument::string("f");
  const std::vector<Case> cases = {
      {"plain text", none, "plain text"},
      {"%%d is %d, %s, %5.2f, %lx, %p, %c%%", none, "%d is %d, %s, %5.2f, %lx, %p, %c%"},
      {"ends in %", none, "ends in %"},
      {"ends in %-08.", num, "ends in %-08."},
      {"ends in %l", str, "ends in %l"},
      {"%%%d%%", num, "%5%"},
      {"%s %d %d", num, "%s 5 %d"},
      {"%d %s %s", str, "%d f %s"},
      {"%u %x %o %c %lld %jd %zd %td %Ld %#d %*d %.*d %1$d %-%d", num,
       "%u %x %o %c %lld %jd %zd %td %Ld %#d %*d %.*d %1$d %-%d"},
      {"%ls %hs %05s %#s %*s %S", str, "%ls %hs %05s %#s %*s %S"},
      {"%2147483648d %.2147483648d", num, "%2147483648d %.2147483648d"},
      {"%99999999999999999999999d", num, "%99999999999999999999999d"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(format_catalogue_text(c.format, c.arg), c.want) << c.format;
  // The largest width that fits an int is filled, and costs only the limit.
  EXPECT_EQ(format_catalogue_text("%2147483647d|", num, 100), std::string(100, ' '));
}

TEST(CatalogueFormat, OutputIsCutAtTheLimit) {
  const auto num = CatalogueArgument::integer(-7);
  EXPECT_EQ(format_catalogue_text("abc %d def", num, 0), "");
  EXPECT_EQ(format_catalogue_text("abc %d def", num, 5), "abc -");
  EXPECT_EQ(format_catalogue_text("abc %-9d def", num, 8), "abc -7  ");
  EXPECT_EQ(format_catalogue_text("%08d", num, 3), "-00");
  EXPECT_EQ(format_catalogue_text("%.40d", num, 4), "-000");
  EXPECT_EQ(format_catalogue_text("%%%%", {}, 1), "%");
  EXPECT_EQ(format_catalogue_text("x%5sy", CatalogueArgument::string("ab"), 6), "x   ab");
}

}  // namespace
