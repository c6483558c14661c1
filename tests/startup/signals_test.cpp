// Signal table, posted signals, the liveness test, the SIGINT console
// handler, the version report and exit_program, each where it ends a
// process in a child of its own.
#include <csignal>
#include <cstdio>

#include <sys/wait.h>
#include <unistd.h>

#include "startup/console.h"
#include "startup/exit_program.h"
#include "startup/signals.h"
#include "startup/version.h"
#include "startup_fixture.h"

namespace {

using startup_test::in_child;

int g_calls[kvf::kSignalSlots];
void count(int n) { ++g_calls[n]; }

TEST(Signals, TableStoresHandlersAndDeliversPostedNumbers) {
  EXPECT_EQ(kvf::set_signal(15, count), nullptr);
  EXPECT_EQ(kvf::set_signal(15, count), count);
  EXPECT_EQ(kvf::post_signal(::getpid(), 15), 0);
  EXPECT_EQ(kvf::post_signal(::getpid(), 15), 0);
  EXPECT_EQ(g_calls[15], 0);  // queued until delivered
  kvf::deliver_signals();
  EXPECT_EQ(g_calls[15], 2);
  kvf::deliver_signals();
  EXPECT_EQ(g_calls[15], 2);
  // Default and ignore both store the do-nothing handler.
  kvf::SignalHandler previous = kvf::set_signal(15, kvf::kHandlerIgnore);
  EXPECT_EQ(previous, count);
  EXPECT_NE(kvf::signal_handler(15), nullptr);
  EXPECT_NE(kvf::signal_handler(15), count);
  kvf::post_signal(::getpid(), 15);
  kvf::deliver_signals();
  EXPECT_EQ(g_calls[15], 2);
  EXPECT_EQ(kvf::set_signal(99, count), nullptr);
}

TEST(Signals, HostSignalReachesTheTable) {
  kvf::set_signal(1, count);
  ::raise(SIGHUP);
  EXPECT_EQ(g_calls[1], 1);
  kvf::set_signal(1, kvf::kHandlerDefault);
  ::raise(SIGHUP);  // the do-nothing handler, not the end of the process
  EXPECT_EQ(g_calls[1], 1);
}

TEST(Signals, AlarmIsPostedAndDeliveredLater) {
  kvf::set_signal(4, count);
  ASSERT_EQ(kvf::set_alarm(1), 1);  // 1.5 seconds
  kvf::deliver_signals();
  EXPECT_EQ(g_calls[4], 0);  // not posted yet
  test::sleep_ms(1700);      // resumed after the host signal
  EXPECT_EQ(g_calls[4], 0);  // expired, but only posted
  kvf::deliver_signals();
  EXPECT_EQ(g_calls[4], 1);
  EXPECT_EQ(kvf::set_alarm(0), 0);
}

TEST(Signals, LivenessTest) {
  EXPECT_EQ(kvf::post_signal(::getpid(), 0), 0);
  EXPECT_EQ(kvf::post_signal(1, 0), 0);
  pid_t child = ::fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  errno = 0;
  EXPECT_EQ(kvf::post_signal(child, 0), -1);
  EXPECT_EQ(errno, 3);
}

TEST(ConsoleHandler, InterruptEndsTheProcessUntilSlot2IsSet) {
  struct Case {
    const char* name;
    int (*body)();
    int status;
    const char* out;
  };
  const Case cases[] = {
      {"unhandled", [] { return kvf::install_console_handler(), ::raise(SIGINT), 0; }, 128 + SIGINT, ""},
      {"ignored",
       [] {
         kvf::install_console_handler();
         kvf::set_signal(2, kvf::kHandlerIgnore);
         return ::raise(SIGINT), 7;
       },
       7, ""},
      {"handled",
       [] {
         kvf::set_signal(2, [](int n) { std::printf("handler %d\n", n); });
         kvf::install_console_handler();
         return ::raise(SIGINT), 0;
       },
       0, "handler 2\n"},
      // Ignored by whoever started the program: neither the handler nor a
      // later slot 2 catches it.
      {"ignored at start",
       [] {
         ::signal(SIGINT, SIG_IGN);
         kvf::install_console_handler();
         kvf::set_signal(2, [](int n) { std::printf("handler %d\n", n); });
         return ::raise(SIGINT), 7;
       },
       7, ""},
  };
  for (const Case& c : cases) {
    auto r = in_child(c.body);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
  }
}

TEST(VersionReport, LongReportShortBannerAndNothingElse) {
  const std::string long_report = std::string(
                                      "Program Name:\t\tkavrex\n"
                                      "Build Version:\t\t7.40.QX3\n"
                                      "Build Number:\t\tN046\n"
                                      "Build Host:\t\t") +
                                  kvf::build_info().host +
                                  "\n"
                                  "Build OS:\t\tWindows_NT 6\n"
                                  "Build Date:\t\tMon Oct 23 14:02:00 CDT 2017\n"
                                  "Build Timestamp:\t2017-10-23T11:30:35-05\n"
                                  "LCL Version:\t\tloclib-3.20.QX4\n";
  struct Case {
    int argc;
    const char* arg;
    std::string out;  // nothing: not a version request, the program goes on
  };
  const Case cases[] = {{2, "-version", long_report}, {2, "-V", "Velmoran Server Version 7.40.QX3\n"},
                        {3, "-V", ""}, {2, "-Version", ""}, {2, "-versions", ""}, {2, "-v", ""}};
  for (const Case& c : cases) {
    auto r = in_child([&] {
      kvf::version_report(c.argc, c.arg, kvf::kProductBanner, "kavrex");
      return 9;
    });
    EXPECT_EQ(r.status, c.out.empty() ? 9 : 0) << c.arg << c.argc;
    EXPECT_EQ(r.out, c.out) << c.arg << c.argc;
  }
}

TEST(ExitProgram, FlushesBufferedOutput) {
  auto r = in_child([]() -> int {
    std::setvbuf(stdout, nullptr, _IOFBF, 4096);
    std::printf("buffered");
    kvf::exit_program(3);
  });
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "buffered");
}

}  // namespace
