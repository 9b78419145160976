// The privilege drop, run in forked children so the test process keeps its own rights.
// Needs root (to have something to drop); skipped otherwise.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "support/privileges.h"

using namespace hoprate;

namespace {

constexpr unsigned nobodyId = 65534;

// Child exit codes name the first check that failed; 0 means every check held.
int runChild(void (*body)())
{
    const pid_t child = fork();
    if (child == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Checks that nothing is left: every set empty, all ids equal to the expected ones,
// and a second raw socket refused.
void expectNothingLeft(unsigned uid, unsigned gid)
{
    PrivilegeState state;
    if (readPrivilegeState(state) != 0)
        _exit(10);
    if (state.effective != 0 || state.permitted != 0 || state.inheritable != 0)
        _exit(11);
    if (state.ambient != 0)
        _exit(12);
    if (state.bounding != 0)
        _exit(13);
    if (state.realUid != uid || state.effectiveUid != uid || state.savedUid != uid)
        _exit(14);
    if (state.realGid != gid || state.effectiveGid != gid || state.savedGid != gid)
        _exit(15);
    const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (raw >= 0 || errno != EPERM)
        _exit(16);
}

class PrivilegesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root";
    }
};

TEST_F(PrivilegesTest, RootKeepsItsIdsButLosesEveryCapability)
{
    EXPECT_EQ(runChild([] {
        PrivilegeState before;
        if (readPrivilegeState(before) != 0 || before.effective == 0)
            _exit(20);
        dropPrivileges();
        expectNothingLeft(0, 0);
    }), 0);
}

TEST_F(PrivilegesTest, BorrowedIdentityReturnsToTheRealUserAndGroup)
{
    // As a set-user-id and set-group-id root program started by nobody would begin.
    EXPECT_EQ(runChild([] {
        if (setresgid(nobodyId, 0, 0) != 0 || setresuid(nobodyId, 0, 0) != 0)
            _exit(20);
        dropPrivileges();
        expectNothingLeft(nobodyId, nobodyId);
    }), 0);
}

TEST_F(PrivilegesTest, DroppingTwiceIsHarmless)
{
    EXPECT_EQ(runChild([] {
        dropPrivileges();
        dropPrivileges();
        expectNothingLeft(0, 0);
    }), 0);
}

}  // namespace
