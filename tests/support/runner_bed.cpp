// SPDX-License-Identifier: GPL-2.0-only
// The runner bed's helpers that need not be inline (runner_bed.h says what
// each does).
#include "runner_bed.h"

#include <csignal>
#include <string>
#include <vector>

namespace checks
{

std::ostream &operator<<(std::ostream &os, const SystemState &s)
{
	return os << "{pages " << s.pages << ", dir " << s.dir << ", mounted " << s.mounted << "}";
}

std::vector<pid_t> LoggedPids(const std::string &log)
{
	std::vector<pid_t> pids;
	for (const std::string &line : Lines(log))
		if (line.rfind("pid=") != std::string::npos)
			pids.push_back(std::stoi(line.substr(line.rfind("pid=") + 4)));
	return pids;
}

bool Alive(pid_t pid)
{
	std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
	return kill(pid, 0) == 0 && stat.size() > stat.rfind(')') + 2 &&
	       stat[stat.rfind(')') + 2] != 'Z';
}

Spawn InPrivateMountNamespace(const std::string &script, const std::vector<std::string> &args)
{
	Spawn s;
	s.argv = {"/usr/bin/unshare", "--mount", "--propagation", "private",
		  "/bin/sh",	      "-c",	 script};
	s.argv.insert(s.argv.end(), args.begin(), args.end());
	return s;
}

} // namespace checks
