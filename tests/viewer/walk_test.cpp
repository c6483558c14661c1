// walk_test.cpp -- the one-pass view: header, where it starts and stops on
// calm, wrapped, small and emptied rings, the maximum skip, unreadable and
// faulting records, and rings that are refused.
#include <gtest/gtest.h>

#include <csignal>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "shm/image.h"
#include "test_image.h"
#include "viewer/fault.h"
#include "viewer/output.h"
#include "viewer/reader.h"
#include "viewer/view.h"

namespace {

using viewer_test::Args;
using viewer_test::Capture;
using viewer_test::Record;
using viewer_test::TestImage;

constexpr char kHeader[] = "File       Line session \n";
constexpr char kSkipped[] = "buffer overrun or formatting error, records skipped\n";

// The narrow line of TestImage::fill(i).
std::string line(int i) {
  std::string f = "f" + std::to_string(i), n = std::to_string(i);
  return f + std::string(f.size() < 10 ? 10 - f.size() : 0, ' ') + " " + n +
         std::string(n.size() < 4 ? 4 - n.size() : 0, ' ') + " 0       \n";
}
std::string lines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += line(i);
  return s;
}

class Walk : public ::testing::Test {
 protected:
  void SetUp() override { kvf::reader_state() = kvf::ReaderState{}; }
  void ring(std::int32_t size, std::uint32_t head, std::uint32_t tail) {
    image.make_ring(size);
    image.set_indexes(head, tail);
    for (std::int32_t i = 0; i < size; ++i) image.fill(i);
  }
  std::string view(bool dorvel = false, bool full = false, int want_status = 0) {
    Capture capture;
    EXPECT_EQ(kvf::kvf_view(dorvel, full, false), want_status);
    return capture.text();
  }

  TestImage image;
};

TEST_F(Walk, NoRingOrAnEmptyRingShowsTheHeaderAlone) {
  EXPECT_EQ(view(), kHeader);
  ring(100, 0, 0);
  EXPECT_EQ(view(), kHeader);
  image.set_indexes(7, 7);
  EXPECT_EQ(view(), kHeader);
}

TEST_F(Walk, CalmRing) {
  ring(100, 10, 0);
  EXPECT_EQ(view(), kHeader + lines(0, 9));
}

TEST_F(Walk, WrappedRing) {
  ring(100, 39, 40);
  EXPECT_EQ(view(), kHeader + lines(60, 99) + lines(0, 38));
}

TEST_F(Walk, SmallRingsStartAWindowPastTail) {
  ring(3, 2, 0);  // window 1, never calm: slot 0 is inside the window
  EXPECT_EQ(view(), kHeader + line(1));
  ring(5, 0, 1);  // window 2; slot 0 is head
  EXPECT_EQ(view(), kHeader + lines(3, 4));
  ring(19, 4, 5);  // window 9
  EXPECT_EQ(view(), kHeader + lines(14, 18) + lines(0, 3));
}

TEST_F(Walk, IncompleteSlotEndsTheWalk) {
  ring(100, 10, 0);
  image.write(4, Record{});
  EXPECT_EQ(view(), kHeader + lines(0, 3));
}

TEST_F(Walk, MaximumSkipEndsTheWalkEvenAtSlotZero) {
  // Window 20 on 20 slots: never calm, the start wraps to slot 0 and the
  // next step skips back to slot 0 at the maximum distance.
  ring(20, 5, 0);
  EXPECT_EQ(view(), kHeader + line(0) + "possible buffer overrun, max skip ahead reached\n");
}

TEST_F(Walk, UnreadableRecordIsSkippedAndTheWalkGoesOn) {
  ring(100, 5, 0);
  static const char secret[] = "tool memory";
  Record r;
  r.file = image.string("bad");
  r.format = image.string("%s");
  r.args.u64(TestImage::addr(secret));
  image.write(2, r);
  EXPECT_EQ(view(), kHeader + lines(0, 1) + kSkipped + lines(3, 4));
}

TEST_F(Walk, FaultWhileReadingARecordIsRecovered) {
  ring(100, 5, 0);
  // A page that the image table counts as mapped but that cannot be read.
  long page = sysconf(_SC_PAGESIZE);
  void* hole = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(hole, MAP_FAILED);
  kvf::image_add_range(TestImage::addr(hole), page);
  Record r;
  r.file = image.string("bad");
  r.format = image.string("x %s");
  r.args.u64(TestImage::addr(hole));
  image.write(1, r);
  r.file = TestImage::addr(hole);
  image.write(3, r);
  EXPECT_EQ(view(), kHeader + line(0) + kSkipped + line(2) + kSkipped + line(4));
  munmap(hole, page);
}

TEST_F(Walk, FaultOutsideAWalkEndsTheProgram) {
  EXPECT_EXIT(
      {
        kvf::install_fault_handlers();
        long page = sysconf(_SC_PAGESIZE);
        void* hole = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::printf("%d", *static_cast<volatile int*>(hole));
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

TEST_F(Walk, RingOutsideTheImageIsRefused) {
  ring(100, 10, 0);
  static unsigned char elsewhere[16];
  image.set_ring(TestImage::addr(elsewhere), 100);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(view(false, false, 1), kHeader);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("is not within the shared memory image"),
            std::string::npos);
  // The header is in the image but the records array is not all there.
  unsigned char* ring = image.make_ring(10);
  image.set_ring(TestImage::addr(ring), 1 << 20);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(view(false, false, 1), kHeader);
  ::testing::internal::GetCapturedStderr();
}

TEST_F(Walk, WriteErrorEndsWithStatusOne) {
  EXPECT_EXIT(
      {
        kvf::out::set_fd(open("/dev/full", O_WRONLY));
        kvf::out::write("x");
        kvf::out::flush();
        std::exit(0);
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
