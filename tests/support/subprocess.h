// Runs a program as a user would: arguments without a shell, standard input
// from /dev/null, standard output and error captured, killed when it runs
// past a deadline.
#pragma once

#include <string>
#include <vector>

namespace zebtest {

struct ProcessResult {
    bool Started = false;
    bool Exited = false;   // ended through exit; ExitCode is valid
    int ExitCode = -1;
    bool Signaled = false; // ended by a signal; Signal is valid
    int Signal = 0;
    bool TimedOut = false; // killed at the deadline
    std::string Out;
    std::string Err;
};

ProcessResult RunProcess(const std::vector<std::string>& Argv, int TimeoutMs = 120000);
// Argv prefixed to run as the unprivileged user nobody, without
// supplementary groups, when this process runs as root; empty when that is
// not possible (not root, no setpriv, no such user).
std::vector<std::string> AsNobody(const std::vector<std::string>& Argv);
// The user and group ids of nobody, or false when there is no such user.
bool NobodyIds(unsigned* Uid, unsigned* Gid);
// "exit 0", "exit 2", "signal 11", "timed out": for failure messages.
std::string DescribeEnd(const ProcessResult& Result);

} // namespace zebtest
