// Signal table, posted signals, the liveness test, the SIGINT console
// handler, the version report and exit_program, each where it ends a
// process in a child of its own.
#include <csignal>
#include <ctime>
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

int g_calls[kvf::k_signal_slots];
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
  kvf::SignalHandler previous = kvf::set_signal(15, kvf::k_handler_ignore);
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
  kvf::set_signal(1, kvf::k_handler_default);
  ::raise(SIGHUP);  // the do-nothing handler, not the end of the process
  EXPECT_EQ(g_calls[1], 1);
}

TEST(Signals, AlarmIsPostedAndDeliveredLater) {
  kvf::set_signal(4, count);
  ASSERT_EQ(kvf::set_alarm(1), 1);  // 1.5 seconds
  struct timespec one_s{1, 0};
  ::nanosleep(&one_s, nullptr);
  kvf::deliver_signals();
  EXPECT_EQ(g_calls[4], 0);
  struct timespec rest{0, 700 * 1000 * 1000};
  while (::nanosleep(&rest, &rest) != 0) {
  }
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
  auto unhandled = in_child([] {
    kvf::install_console_handler();
    ::raise(SIGINT);
    return 0;
  });
  EXPECT_EQ(unhandled.status, 128 + SIGINT);
  auto ignored = in_child([] {
    kvf::install_console_handler();
    kvf::set_signal(2, kvf::k_handler_ignore);
    ::raise(SIGINT);
    return 7;
  });
  EXPECT_EQ(ignored.status, 7);
  auto handled = in_child([] {
    kvf::set_signal(2, [](int n) { std::printf("handler %d\n", n); });
    kvf::install_console_handler();
    ::raise(SIGINT);
    return 0;
  });
  EXPECT_EQ(handled.status, 0);
  EXPECT_EQ(handled.out, "handler 2\n");
}

TEST(VersionReport, LongReportShortBannerAndNothingElse) {
  auto v = in_child([] {
    kvf::version_report(2, "-version", kvf::k_product_banner, "kavrex");
    return 9;
  });
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, std::string("Program Name:\t\tkavrex\n"
                               "Build Version:\t\t7.40.QX3\n"
                               "Build Number:\t\tN046\n"
                               "Build Host:\t\t") +
                       kvf::build_info().host +
                       "\n"
                       "Build OS:\t\tWindows_NT 6\n"
                       "Build Date:\t\tMon Oct 23 14:02:00 CDT 2017\n"
                       "Build Timestamp:\t2017-10-23T11:30:35-05\n"
                       "LCL Version:\t\tloclib-3.20.QX4\n");
  auto b = in_child([] {
    kvf::version_report(2, "-V", kvf::k_product_banner, "kavrex");
    return 9;
  });
  EXPECT_EQ(b.status, 0);
  EXPECT_EQ(b.out, "Velmoran Server Version 7.40.QX3\n");
  auto none = in_child([] {
    kvf::version_report(3, "-V", kvf::k_product_banner, "kavrex");
    kvf::version_report(2, "-Version", kvf::k_product_banner, "kavrex");
    kvf::version_report(2, "-versions", kvf::k_product_banner, "kavrex");
    kvf::version_report(2, "-v", kvf::k_product_banner, "kavrex");
    return 9;
  });
  EXPECT_EQ(none.status, 9);
  EXPECT_EQ(none.out, "");
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
