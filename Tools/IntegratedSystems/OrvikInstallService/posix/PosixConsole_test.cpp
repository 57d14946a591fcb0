// The key wait on POSIX: from a terminal, from a pipe, at the end of input.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "Console.h"

namespace {

// Puts fd in place of standard input for the scope.
class StandardInputSwap {
 public:
  explicit StandardInputSwap(int fd) : saved_(dup(STDIN_FILENO)) { dup2(fd, STDIN_FILENO); }
  ~StandardInputSwap() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

TEST(PosixConsoleTest, AtTheEndOfInputTheWaitEndsAtOnce) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  close(pipeFds[1]);
  StandardInputSwap swap(pipeFds[0]);
  NewPlatformConsole()->WaitForKey();
  close(pipeFds[0]);
}

TEST(PosixConsoleTest, FromAPipeExactlyOneByteIsTaken) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  ASSERT_EQ(write(pipeFds[1], "xy", 2), 2);
  close(pipeFds[1]);
  {
    StandardInputSwap swap(pipeFds[0]);
    NewPlatformConsole()->WaitForKey();
  }
  char rest[4] = {};
  EXPECT_EQ(read(pipeFds[0], rest, sizeof rest), 1);
  EXPECT_EQ(rest[0], 'y');
  close(pipeFds[0]);
}

TEST(PosixConsoleTest, FromATerminalOneKeyWithoutEchoOrEnter) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) GTEST_SKIP() << "no pseudo-terminal";
  termios before{};
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  ASSERT_TRUE(before.c_lflag & ICANON);
  {
    StandardInputSwap swap(slave);
    std::thread typist([master] {
      // The key comes once the wait has switched the terminal over.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_EQ(write(master, "k", 1), 1);
    });
    NewPlatformConsole()->WaitForKey();  // returns without a newline
    typist.join();
  }
  termios after{};
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
  // Nothing was echoed back to the terminal.
  fcntl(master, F_SETFL, O_NONBLOCK);
  char echoed[8];
  EXPECT_LE(read(master, echoed, sizeof echoed), 0);
  close(slave);
  close(master);
}

}  // namespace
