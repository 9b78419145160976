// Least privilege: the raw ICMP socket is the only thing that needs any. Once it is
// open, the process gives up every capability and any set-user-id or set-group-id
// identity, so that nothing it creates afterwards (the UDP socket, the results file)
// is made with more rights than the user who started it has.
#pragma once

namespace hoprate {

// Returns to the real user and group id when they differ from the effective or saved
// ones, clears the ambient set, drops the bounding set where the process may (that
// needs CAP_SETPCAP, which root has and a binary with only cap_net_raw does not), and
// clears the effective, permitted and inheritable sets. Checks the outcome and ends
// the run through fatalSystemError when any step fails.
void dropPrivileges();

// The capability sets and ids as the kernel reports them, for checks and tests.
struct PrivilegeState {
    unsigned long long effective;
    unsigned long long permitted;
    unsigned long long inheritable;
    unsigned long long ambient;    // 0 where the kernel has no ambient set
    unsigned long long bounding;
    unsigned realUid, effectiveUid, savedUid;
    unsigned realGid, effectiveGid, savedGid;
};

// Reads the current state; returns 0 on success, -1 (errno set) on failure.
int readPrivilegeState(PrivilegeState &state);

}  // namespace hoprate
