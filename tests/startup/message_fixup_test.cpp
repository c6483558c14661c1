// Catalogue text fix-up: pointer conversions rewritten in place, the rest
// left alone, and the fixed error text for what cannot be measured.
#include <cstring>

#include "startup/catalogue.h"
#include "startup/locale.h"
#include "startup_fixture.h"

namespace {

using startup_test::StartupTest;

std::string fix(const char* text, std::int32_t* error = nullptr) {
  std::vector<char> buf(text, text + std::strlen(text) + 1);
  return kvf::rldmsg_fmtspeckvf(buf.data(), error);
}

TEST_F(StartupTest, FixupRewritesPointerConversions) {
  on_thread([] {
    ASSERT_EQ(kvf::ensure_locale_started(), 0);
    EXPECT_EQ(fix("at %lx, %-lx%% done"), "at %p, %-p%% done");
    EXPECT_EQ(fix("%%lx %08lx %ld %lu %-08lx"), "%%p %08lx %ld %lu %-08lx");
    EXPECT_EQ(fix("%lx%lx%-lx"), "%p%p%-p");
    EXPECT_EQ(fix("end %"), "end %");
    EXPECT_EQ(fix("end %l"), "end %l");
    EXPECT_EQ(fix(""), "");
  });
}

TEST_F(StartupTest, FixupOfNullAndOfUnmeasurableText) {
  ::setenv("CLIENT_LOCALE", "en_US.utf8", 1);
  on_thread([] {
    const char* fixed = "Error in rldmsg_fmtspeckvf() contact tech support\n";
    std::int32_t error = 0;
    EXPECT_STREQ(kvf::rldmsg_fmtspeckvf(nullptr, &error), fixed);
    EXPECT_EQ(error, 0);
    ASSERT_EQ(kvf::ensure_locale_started(), 0);
    EXPECT_EQ(fix("caf\xC3\xA9 %lx"), "caf\xC3\xA9 %p");
    EXPECT_EQ(fix("bad \xC3%lx", &error), fixed);
    EXPECT_EQ(error, -406);
    EXPECT_EQ(kvf::locale_error(), 0);  // restored
  });
}

TEST_F(StartupTest, FixupWithoutLoadedCodeSetLeavesTextAlone) {
  ::setenv("CLIENT_LOCALE", "nonsense", 1);
  on_thread([] {
    EXPECT_NE(kvf::ensure_locale_started(), 0);
    EXPECT_EQ(fix("%lx"), "%lx");
  });
}

}  // namespace
