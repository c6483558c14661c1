// The benchmark's own measuring tools: make_dump gives a view of exactly the
// records asked for, touch_records reads them all, and tail_count tells record lines, records printed
// again, torn lines and the reader's messages apart, since the driver reports them.
#include <gtest/gtest.h>

#include <string>

#include "support/process.h"

namespace {

std::string count(const std::string& input) {
  test::RunOptions o;
  o.input = input;
  test::RunResult r = test::run({test::program("tail_count")}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

// A wide record line with the given time text and stamp.
std::string line(const std::string& time, const std::string& stamp, const std::string& message = "msg") {
  return "KVF_SHMEM  KVF_MEM    mt_shm.c   530   4242  " + time + " " + stamp +
         std::string(12 - stamp.size(), ' ') + " 1    7    dead0000 beef0000 11      " + message + "\n";
}

TEST(TailCount, RecordLinesByTheirTimeColumnRepeatsByTheirStampTornAndCutLinesApart) {
  std::string in =
      "Component  Feature    File       Line  Pid   Time     Stamp        csvr thrd trans    rstcb    session MESSAGE\n";
  in += line("23:59:58", "100");
  in += line("12/31/2025", "101", "two\nlines at 10:11:12\n");  // a line feed in the message
  in += "buf \n    1000:  0  1  2\n    1010:  3" + line("23:59:59", "102");  // a hex dump
  // Its stamp from the writer's next lap: torn, and no bar for what follows.
  in += line("23:59:59", "1103");
  in += "possible buffer overrun, skipping ahead\n";
  in += line("23:59:59", "103");
  in += line("23:59:59", "90");
  in += "possible buffer overrun, max skip ahead reached\n";
  in += "buffer overrun or formatting error, records skipped\n";
  in += line("00:00:01", "101");  // printed again after a skip back
  in += "The server process 4242 is gone!\n";
  in += line("01:02:03", "3104");  // torn, untold: the next goes on from 103
  in += line("01:02:03", "104", std::string(100000, 'x'));  // longer than a read
  std::string cut = line("01:02:04", "1050");
  in += cut.substr(0, cut.find(" 1050") + 3);  // the end of input cuts its stamp
  EXPECT_EQ(count(in),
            "lines 19 records 10 new 5 again 1 torn 4 skipping 1 max_skip 1 faults 1 gone 1 first 100 newest 104 "
            "first_again_line 15 again_stamp 101 bar 103 bar_line 11\n");
}

TEST(MakeDump, AOnePassViewPrintsExactlyTheRecordsAskedFor) {
  test::TempDir dir;
  for (const char* n : {"1", "25", "3000"}) {
    const std::string dump = dir.file(std::string("d") + n);
    test::RunResult made = test::run({test::program("make_dump"), "-n", n, "--now", "1765000000", dump});
    ASSERT_EQ(made.status, 0) << made.err;
    test::RunResult view = test::run({test::program("naive_render"), "fview", dump});
    ASSERT_EQ(view.status, 0) << view.err;
    test::RunOptions o;
    o.input = view.out;
    test::RunResult counted = test::run({test::program("tail_count")}, o);
    EXPECT_NE(counted.out.find(std::string(" records ") + n + " "), std::string::npos) << n << ": " << counted.out;
    // B0 loads the same dump and reads every slot of its ring once.
    test::RunResult touched = test::run({test::program("touch_records"), dump});
    ASSERT_EQ(touched.status, 0) << touched.err;
    EXPECT_EQ(touched.out.rfind("records ", 0), 0u) << touched.out;
    EXPECT_GE(std::stoi(touched.out.substr(8)), std::stoi(n)) << touched.out;
  }
}

}  // namespace
