#include "platform/NamedLock.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class NamedLockTest : public ::testing::Test {
protected:
    void SetUp() override { TNamedLock::Remove(name); }
    void TearDown() override { TNamedLock::Remove(name); }

    // Runs body in a child process and returns its exit status.
    template <typename Body> static int InChild(Body body) {
        const pid_t pid = fork();
        if (pid == 0) {
            _exit(body());
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string name = "KorvaneLockTest" + std::to_string(getpid());
};

TEST_F(NamedLockTest, IsSharedBetweenProcessesAndBounded) {
    TNamedLock lock(name);
    ASSERT_TRUE(lock.Shared());
    ASSERT_TRUE(lock.Acquire(200));
    // Another process opening the same name sees it held and gives up after its bound.
    EXPECT_EQ(InChild([&] {
                  TNamedLock other(name);
                  return other.Acquire(50) ? 1 : 0;
              }),
              0);
    lock.Release();
    EXPECT_EQ(InChild([&] {
                  TNamedLock other(name);
                  if (!other.Acquire(200)) {
                      return 1;
                  }
                  other.Release();
                  return 0;
              }),
              0);
}

TEST_F(NamedLockTest, LockAbandonedByDeadHolderIsRecovered) {
    // The child dies holding the lock, its mapping still in place.
    ASSERT_EQ(InChild([&] {
                  TNamedLock other(name);
                  _exit(other.Acquire(200) ? 0 : 1);
                  return 1;
              }),
              0);
    TNamedLock lock(name);
    ASSERT_TRUE(lock.Acquire(200));
    lock.Release();
    // Recovered for good, not just once.
    ASSERT_TRUE(lock.Acquire(200));
    lock.Release();
}

TEST_F(NamedLockTest, GuardReleasesOnEveryPath) {
    TNamedLock lock(name);
    try {
        TNamedLockGuard guard(lock, 200);
        ASSERT_TRUE(guard.Owns());
        throw 1;
    } catch (int) {
    }
    EXPECT_EQ(InChild([&] {
                  TNamedLock other(name);
                  return other.Acquire(200) ? 0 : 1;
              }),
              0);
}

} // namespace
