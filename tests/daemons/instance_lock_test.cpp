// The one-instance lock: one holder at a time, released with its holder's
// descriptors however the holder ends, shared with a forked child, and never
// taken through something planted in the lock's place.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness/util.hpp"
#include "instance/instance_lock.hpp"

namespace {

TEST(InstanceLock, OneHolderAtATimeAndNoneAfterItsDescriptorCloses) {
    harness::TempDir dir;
    const instance::Lock first = instance::take(dir.path(), "hub");
    ASSERT_GE(first.fd, 0) << first.why;
    EXPECT_TRUE(first.why.empty());
    EXPECT_EQ(fcntl(first.fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << "started programs must not inherit it";

    const instance::Lock second = instance::take(dir.path(), "hub");
    EXPECT_EQ(second.fd, -1);
    EXPECT_EQ(second.why, "another hub is running (" + (dir / "hub.lock") + " is locked)");
    EXPECT_GE(instance::take(dir.path(), "other").fd, 0) << "each name has its own lock";

    // The file stays behind; without a holder it blocks nothing.
    close(first.fd);
    const instance::Lock again = instance::take(dir.path(), "hub");
    EXPECT_GE(again.fd, 0) << again.why;
    close(again.fd);
}

// A daemon takes the lock, then forks and its first process exits: the
// detached child holds it on alone, and its death frees it.
TEST(InstanceLock, ForkedChildHoldsItAfterTheParentLetsGo) {
    harness::TempDir dir;
    const instance::Lock lock = instance::take(dir.path(), "launcher");
    ASSERT_GE(lock.fd, 0) << lock.why;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    close(lock.fd);
    EXPECT_EQ(instance::take(dir.path(), "launcher").fd, -1) << "the child's copy must keep it";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const instance::Lock after = instance::take(dir.path(), "launcher");
    EXPECT_GE(after.fd, 0) << after.why;
    close(after.fd);
}

// Whatever stands where the lock file belongs and is not a plain file is
// refused, and what a link points to is left alone.
TEST(InstanceLock, RefusesWhatIsNotAPlainFile) {
    harness::TempDir dir;
    const std::string victim = dir / "victim";
    ASSERT_TRUE(harness::write_file(victim, "keep\n"));
    ASSERT_EQ(symlink(victim.c_str(), (dir / "link.lock").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo.lock").c_str(), 0666), 0);
    ASSERT_EQ(mkdir((dir / "dir.lock").c_str(), 0755), 0);
    for (const char* name : {"link", "fifo", "dir"}) {
        const instance::Lock lock = instance::take(dir.path(), name);
        EXPECT_EQ(lock.fd, -1) << name;
        EXPECT_NE(lock.why.find(dir / (std::string(name) + ".lock")), std::string::npos) << lock.why;
    }
    EXPECT_EQ(harness::read_file(victim), "keep\n");
    const instance::Lock missing_dir = instance::take(dir / "absent", "hub");
    EXPECT_EQ(missing_dir.fd, -1);
    EXPECT_NE(missing_dir.why.find("cannot open"), std::string::npos) << missing_dir.why;
}

}  // namespace
