#include "support/privileges.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "support/diagnostics.h"

namespace hoprate {

namespace {

// The kernel's two-word (64 capability) interface, called directly: the raw calls are
// all that is needed to read and clear the sets, and they need no extra library.
struct CapabilitySets {
    __user_cap_header_struct header;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
};

int getCapabilities(CapabilitySets &sets)
{
    sets = CapabilitySets{};
    sets.header.version = _LINUX_CAPABILITY_VERSION_3;
    sets.header.pid = 0;
    return static_cast<int>(syscall(SYS_capget, &sets.header, sets.data));
}

int clearCapabilities()
{
    CapabilitySets sets{};
    sets.header.version = _LINUX_CAPABILITY_VERSION_3;
    sets.header.pid = 0;
    return static_cast<int>(syscall(SYS_capset, &sets.header, sets.data));
}

unsigned long long joinWords(unsigned low, unsigned high)
{
    return static_cast<unsigned long long>(low) | (static_cast<unsigned long long>(high) << 32);
}

// Capabilities are numbered from 0; the kernel refuses a number past its last one with
// EINVAL, which ends every scan below.
constexpr int capabilityLimit = 64;

bool capabilityKnown(int capability)
{
    return prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0;
}

}  // namespace

int readPrivilegeState(PrivilegeState &state)
{
    state = PrivilegeState{};
    CapabilitySets sets;
    if (getCapabilities(sets) != 0)
        return -1;
    state.effective = joinWords(sets.data[0].effective, sets.data[1].effective);
    state.permitted = joinWords(sets.data[0].permitted, sets.data[1].permitted);
    state.inheritable = joinWords(sets.data[0].inheritable, sets.data[1].inheritable);
    for (int c = 0; c < capabilityLimit && capabilityKnown(c); ++c) {
        if (prctl(PR_CAPBSET_READ, c, 0, 0, 0) == 1)
            state.bounding |= 1ULL << c;
        // A kernel without ambient capabilities answers EINVAL: its ambient set is empty.
        if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, c, 0, 0) == 1)
            state.ambient |= 1ULL << c;
    }
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0)
        return -1;
    state.realUid = ruid;
    state.effectiveUid = euid;
    state.savedUid = suid;
    state.realGid = rgid;
    state.effectiveGid = egid;
    state.savedGid = sgid;
    return 0;
}

void dropPrivileges()
{
    PrivilegeState before;
    if (readPrivilegeState(before) != 0)
        fatalSystemError("drop privileges: capget");

    // The bounding set can only shrink while CAP_SETPCAP is effective, so it goes
    // first, before the change of user id or capset takes that capability away.
    const bool mayDropBounding = (before.effective >> CAP_SETPCAP) & 1ULL;
    if (mayDropBounding) {
        for (int c = 0; c < capabilityLimit && capabilityKnown(c); ++c) {
            if (prctl(PR_CAPBSET_DROP, c, 0, 0, 0) != 0)
                fatalSystemError("drop privileges: bounding set, capability %d", c);
        }
    }

    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
        fatalSystemError("drop privileges: ambient set");

    // Group first: once the user id is no longer privileged, the group could not change.
    const gid_t realGid = getgid();
    if (before.effectiveGid != realGid || before.savedGid != realGid) {
        if (setresgid(realGid, realGid, realGid) != 0)
            fatalSystemError("drop privileges: setresgid %u", static_cast<unsigned>(realGid));
    }
    const uid_t realUid = getuid();
    if (before.effectiveUid != realUid || before.savedUid != realUid) {
        if (setresuid(realUid, realUid, realUid) != 0)
            fatalSystemError("drop privileges: setresuid %u", static_cast<unsigned>(realUid));
    }

    if (clearCapabilities() != 0)
        fatalSystemError("drop privileges: capset");

    PrivilegeState after;
    if (readPrivilegeState(after) != 0)
        fatalSystemError("drop privileges: capget");
    const bool idsReturned = after.effectiveUid == realUid && after.savedUid == realUid &&
                             after.effectiveGid == realGid && after.savedGid == realGid;
    const bool setsEmpty = after.effective == 0 && after.permitted == 0 && after.inheritable == 0 &&
                           after.ambient == 0 && (!mayDropBounding || after.bounding == 0);
    if (!idsReturned || !setsEmpty) {
        errno = EPERM;
        fatalSystemError("drop privileges: privileges remain after the drop");
    }
}

}  // namespace hoprate
