#include "platform/sharedmem.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/fault.h"
#include "platform/instancelock.h"
#include "support/env.h"

using namespace platform;

TEST(SharedMemory, TwoMappingsSeeEachOthersWrites) {
    testsupport::FakeHome home;
    const size_t kSize = 16777216;
    SharedMemory a, b;
    ASSERT_TRUE(a.Open("SHARENAME", kSize)) << ErrorText(LastError());
    ASSERT_TRUE(b.Open("SHARENAME", kSize));
    EXPECT_EQ(kSize, a.Size());
    struct stat st;
    ASSERT_EQ(0, ::stat((home.Runtime() + "/SHARENAME").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(static_cast<off_t>(kSize), st.st_size);
    static_cast<char*>(a.Data())[kSize - 1] = 'z';
    std::memcpy(a.Data(), "hello", 5);
    EXPECT_EQ(0, std::memcmp(b.Data(), "hello", 5));
    EXPECT_EQ('z', static_cast<char*>(b.Data())[kSize - 1]);
    // A smaller reopen keeps the area's size and content.
    SharedMemory c;
    ASSERT_TRUE(c.Open("SHARENAME", 4096));
    EXPECT_EQ(0, std::memcmp(c.Data(), "hello", 5));
    ASSERT_EQ(0, ::stat((home.Runtime() + "/SHARENAME").c_str(), &st));
    EXPECT_EQ(static_cast<off_t>(kSize), st.st_size);
    a.Close();
    EXPECT_EQ(nullptr, a.Data());
}

TEST(SharedMemory, PosixShmWithoutRuntimeFolder) {
    testsupport::FakeHome home;
    home.Env().Unset("XDG_RUNTIME_DIR");
    std::string name = "kestrine-test-" + std::to_string(::getpid());
    {
        SharedMemory a, b;
        ASSERT_TRUE(a.Open(name, 8192)) << ErrorText(LastError());
        ASSERT_TRUE(b.Open(name, 8192));
        static_cast<int*>(a.Data())[10] = 1234;
        EXPECT_EQ(1234, static_cast<int*>(b.Data())[10]);
    }
    std::string shm = "/" + name + "." + std::to_string(::getuid());
    EXPECT_EQ(0, ::shm_unlink(shm.c_str())) << "the area is named /<name>.<uid>";
}

TEST(SharedMemory, RefusesBadNamesLinksAndFaults) {
    testsupport::FakeHome home;
    SharedMemory m;
    for (const char* bad : {"", "..", "a/b"}) {
        EXPECT_FALSE(m.Open(bad, 4096)) << bad;
        EXPECT_EQ(EINVAL, LastError());
    }
    home.Dir().WriteFile("elsewhere", "do not grow me");
    ASSERT_EQ(0, ::symlink(home.Dir().Sub("elsewhere").c_str(), (home.Runtime() + "/LINKED").c_str()));
    EXPECT_FALSE(m.Open("LINKED", 4096));
    EXPECT_EQ(ELOOP, LastError());
    EXPECT_EQ("do not grow me", home.Dir().ReadFile("elsewhere"));
    FaultScope faults;
    FailCall(Op::Map, 1, ENOMEM);
    EXPECT_FALSE(m.Open("SHARENAME", 4096));
    EXPECT_EQ(ENOMEM, LastError());
    EXPECT_EQ(nullptr, m.Data());
}

TEST(InstanceLock, SecondProcessFindsItHeld) {
    testsupport::FakeHome home;
    int toChild[2], toParent[2];
    ASSERT_EQ(0, ::pipe(toChild));
    ASSERT_EQ(0, ::pipe(toParent));
    pid_t child = ::fork();
    if (child == 0) {
        InstanceLock lock;
        char r = lock.Acquire("KestrineSelfMutex") == InstanceLock::Result::Acquired ? 'A' : 'F';
        ::write(toParent[1], &r, 1);
        char c;
        ::read(toChild[0], &c, 1);
        ::_exit(0);
    }
    char r = 0;
    ASSERT_EQ(1, ::read(toParent[0], &r, 1));
    ASSERT_EQ('A', r);
    struct stat st;
    ASSERT_EQ(0, ::stat((home.Runtime() + "/KestrineSelfMutex").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    {
        InstanceLock second;
        EXPECT_EQ(InstanceLock::Result::HeldElsewhere, second.Acquire("KestrineSelfMutex"));
    }
    ::write(toChild[1], "x", 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) {
        ::close(fd);
    }
    InstanceLock after;
    EXPECT_EQ(InstanceLock::Result::Acquired, after.Acquire("KestrineSelfMutex"))
        << "released with its process";
    EXPECT_EQ(InstanceLock::Result::Acquired, after.Acquire("KestrineSelfMutex")) << "held already";
    InstanceLock other;
    EXPECT_EQ(InstanceLock::Result::HeldElsewhere, other.Acquire("KestrineSelfMutex"));
    after.Release();
    EXPECT_EQ(InstanceLock::Result::Acquired, other.Acquire("KestrineSelfMutex"));
}

TEST(InstanceLock, FallsBackToTheSettingsFolderAndReportsFailures) {
    testsupport::FakeHome home;
    home.Env().Unset("XDG_RUNTIME_DIR");
    InstanceLock lock;
    ASSERT_EQ(InstanceLock::Result::Acquired, lock.Acquire("KestrineSelfMutex"));
    struct stat st;
    EXPECT_EQ(0, ::stat((home.Config() + "/kestrine/KestrineSelfMutex").c_str(), &st));
    lock.Release();
    FaultScope faults;
    FailCall(Op::Open, 1, EACCES, "KestrineSelfMutex");
    EXPECT_EQ(InstanceLock::Result::Failed, lock.Acquire("KestrineSelfMutex"));
    EXPECT_EQ(EACCES, LastError());
    EXPECT_EQ(InstanceLock::Result::Failed, lock.Acquire("a/b"));
}
