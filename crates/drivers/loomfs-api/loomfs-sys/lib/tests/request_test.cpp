// The three control requests as they reach the kernel, through an ioctl()
// stand-in linked into this test.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "ioctl_spy.h"
#include "loomfs.h"

namespace {

constexpr int kSpyFd = 1000;

loomfs Handle(int dir_fd) { return loomfs{nullptr, nullptr, nullptr, -1, dir_fd, nullptr}; }

void Arm(int result = 0, int error = 0) {
  ioctl_spy = {};
  ioctl_spy.fd = kSpyFd;
  ioctl_spy.result = result;
  ioctl_spy.error = error;
  for (int i = 0; i < 64; ++i) ioctl_spy.reply[i] = static_cast<unsigned char>(0x10 + i);
}

// Little-endian words of the reply pattern.
uint64_t ReplyWord(int i) {
  uint64_t v = 0;
  for (int b = 7; b >= 0; --b) v = v << 8 | static_cast<uint64_t>(0x10 + 8 * i + b);
  return v;
}

TEST(Requests, SendTheRequestNumbersAndRecords) {
  loomfs fs = Handle(kSpyFd);

  Arm();
  uint64_t cno = 0;
  EXPECT_EQ(loomfs_sync(&fs, &cno), 0);
  EXPECT_EQ(ioctl_spy.request, 0x80086E8Au);
  EXPECT_EQ(ioctl_spy.arg, &cno);
  EXPECT_EQ(cno, ReplyWord(0));

  Arm();
  loomfs_status st{};
  EXPECT_EQ(loomfs_get_status(&fs, &st), 0);
  EXPECT_EQ(ioctl_spy.request, 0x80186E83u);
  EXPECT_EQ(ioctl_spy.arg, &st);
  EXPECT_EQ(st.ls_number, ReplyWord(0));
  EXPECT_EQ(st.ls_word2, ReplyWord(2));

  Arm(/*result=*/0);
  EXPECT_EQ(loomfs_change_mode(&fs, 0x0102030405060708ull, LOOMFS_MODE_SNAPSHOT), 0);
  EXPECT_EQ(ioctl_spy.request, 0x40106E80u);
  const unsigned char want[16] = {8, 7, 6, 5, 4, 3, 2, 1, 1, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(ioctl_spy.in, want, sizeof want), 0);
  EXPECT_EQ(ioctl_spy.calls, 1u);
}

TEST(Requests, PassTheKernelsRefusalOn) {
  loomfs fs = Handle(kSpyFd);
  uint64_t cno = 0;
  loomfs_status st{};
  for (int err : {EPERM, EROFS, ENOTTY}) {
    SCOPED_TRACE(err);
    Arm(0, err);
    errno = 0;
    EXPECT_EQ(loomfs_sync(&fs, &cno), -1);
    EXPECT_EQ(errno, err);
    errno = 0;
    EXPECT_EQ(loomfs_get_status(&fs, &st), -1);
    EXPECT_EQ(errno, err);
    errno = 0;
    EXPECT_EQ(loomfs_change_mode(&fs, 9, 2), -1);
    EXPECT_EQ(errno, err);
    EXPECT_EQ(ioctl_spy.calls, 3u);
  }
}

// A signal that interrupts a request (EINTR) has it sent again; the answer
// is the one that came through.
TEST(Requests, AnInterruptedRequestIsSentAgain) {
  loomfs fs = Handle(kSpyFd);
  uint64_t cno = 0;
  loomfs_status st{};
  const struct {
    unsigned long request;
    int (*send)(loomfs* fs, uint64_t* cno, loomfs_status* st);
  } rows[] = {
      {LOOMFS_IOC_SYNC, [](loomfs* f, uint64_t* c, loomfs_status*) { return loomfs_sync(f, c); }},
      {LOOMFS_IOC_GET_STATUS, [](loomfs* f, uint64_t*, loomfs_status* s) { return loomfs_get_status(f, s); }},
      {LOOMFS_IOC_CHANGE_MODE, [](loomfs* f, uint64_t*, loomfs_status*) { return loomfs_change_mode(f, 9, 1); }},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.request);
    Arm(/*result=*/0);
    ioctl_spy.interrupted = r.request;
    ioctl_spy.interruptions = 2;
    EXPECT_EQ(r.send(&fs, &cno, &st), 0);
    EXPECT_EQ(ioctl_spy.calls, 3u);
    EXPECT_EQ(ioctl_spy.request, r.request);
  }
  EXPECT_EQ(cno, ReplyWord(0));
  EXPECT_EQ(st.ls_number, ReplyWord(0));
}

// Without a mount directory, or with checkpoint 0, nothing is sent; the
// missing directory is reported first.
TEST(Requests, RefusedBeforeAnythingIsSent) {
  enum Call { kSync, kStatus, kChange };
  struct Row {
    const char* name;
    int dir_fd;
    Call call;
    uint64_t cno;
    int err;
  } rows[] = {
      {"sync, no directory", -1, kSync, 0, EBADF},
      {"status, no directory", -1, kStatus, 0, EBADF},
      {"change, no directory", -1, kChange, 5, EBADF},
      {"change 0, no directory", -1, kChange, 0, EBADF},
      {"change 0", kSpyFd, kChange, 0, EINVAL},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Arm();
    loomfs fs = Handle(r.dir_fd);
    uint64_t word = 77;
    loomfs_status st{1, 2, 3};
    errno = 0;
    int rc = r.call == kSync     ? loomfs_sync(&fs, &word)
             : r.call == kStatus ? loomfs_get_status(&fs, &st)
                                 : loomfs_change_mode(&fs, r.cno, LOOMFS_MODE_SNAPSHOT);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(errno, r.err);
    EXPECT_EQ(ioctl_spy.calls, 0u);
    EXPECT_EQ(word, 77u);
    EXPECT_EQ(st.ls_number, 1u);
  }
}

// No handle (or no name) is EINVAL from every entry that takes one, before
// anything is sent or opened.
TEST(Requests, NullArgumentsAreInvalid) {
  char name[LOOMFS_SEM_NAME_SIZE];
  uint64_t word = 77;
  loomfs_status st{};
  struct Row {
    const char* name;
    int (*call)(char* name, uint64_t* word, loomfs_status* st);
  } rows[] = {
      {"sync", [](char*, uint64_t* w, loomfs_status*) { return loomfs_sync(nullptr, w); }},
      {"get_status", [](char*, uint64_t*, loomfs_status* s) { return loomfs_get_status(nullptr, s); }},
      {"change_mode", [](char*, uint64_t*, loomfs_status*) { return loomfs_change_mode(nullptr, 5, 1); }},
      {"read_sb", [](char*, uint64_t*, loomfs_status*) { return loomfs_read_sb(nullptr); }},
      {"open_sem", [](char*, uint64_t*, loomfs_status*) { return loomfs_open_sem(nullptr); }},
      {"sem_name, no device",
       [](char* n, uint64_t*, loomfs_status*) { return loomfs_sem_name(nullptr, n, LOOMFS_SEM_NAME_SIZE); }},
      {"sem_name, no buffer",
       [](char*, uint64_t*, loomfs_status*) { return loomfs_sem_name("/", nullptr, LOOMFS_SEM_NAME_SIZE); }},
      {"open_sem_named",
       [](char*, uint64_t*, loomfs_status*) { return loomfs_open_sem_named(nullptr) == nullptr ? -1 : 0; }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Arm();
    errno = 0;
    EXPECT_EQ(r.call(name, &word, &st), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ioctl_spy.calls, 0u);
  }
}

}  // namespace
