// SPDX-License-Identifier: GPL-2.0-only
#include "ktap.h"

#include "run.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

namespace checks
{

std::vector<std::string> LavaCases(const std::vector<std::string> &ktap)
{
	std::vector<std::string> cases, subtests;
	std::map<std::string, std::pair<long, long>> kernel; // statm, Rss + HugetlbPages
	for (const std::string &line : ktap) {
		char kind[64];
		long statm, rss, huge;
		if (std::sscanf(
			line.c_str(),
			"# kernel: %63s statm %ld kB, smaps Rss %ld kB, HugetlbPages %ld kB", kind,
			&statm, &rss, &huge) == 4)
			kernel[kind] = {statm, rss + huge};
		size_t indent = line.find_first_not_of(' ');
		if (indent == std::string::npos)
			continue;
		std::string rest = line.substr(indent);
		bool passed = rest.rfind("ok ", 0) == 0;
		if (!passed && rest.rfind("not ok ", 0) != 0)
			continue;
		rest = rest.substr(rest.find(' ', passed ? 3 : 7) + 1); // past the number
		size_t directive = rest.find(" # ");
		std::string name = rest.substr(0, directive), result = passed ? "pass" : "fail";
		if (directive != std::string::npos && rest.compare(directive + 3, 4, "SKIP") == 0)
			result = "skip";
		for (char &c : name)
			if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' &&
			    c != '-')
				c = '_';
		if (indent > 0) {
			subtests.push_back(name + " " + result);
			continue;
		}
		cases.push_back(name + " " + result);
		for (const std::string &sub : subtests) {
			std::string probe = sub.substr(0, sub.find(' '));
			bool is_probe = name == "rss_map_check" &&
					std::find(std::begin(kProbes), std::end(kProbes), probe) !=
					    std::end(kProbes);
			auto k = kernel.find(probe);
			cases.push_back(name + "." + sub);
			if (!is_probe)
				continue;
			std::string measure = name + "." + probe;
			if (k == kernel.end()) {
				cases.push_back(measure + ".statm_kb skip");
				cases.push_back(measure + ".kernel_kb skip");
			} else {
				cases.push_back(measure + ".statm_kb pass " +
						std::to_string(k->second.first) + " kB");
				cases.push_back(measure + ".kernel_kb pass " +
						std::to_string(k->second.second) + " kB");
			}
		}
		subtests.clear();
		if (name == "rss_map_check")
			kernel.clear();
	}
	// A name met before gets _dup2, _dup3...: LAVA files a case by name.
	std::set<std::string> seen;
	for (std::string &c : cases) {
		std::string name = c.substr(0, c.find(' ')), unique = name;
		for (int n = 2; seen.count(unique); ++n)
			unique = name + "_dup" + std::to_string(n);
		seen.insert(unique);
		c = unique + c.substr(name.size());
	}
	return cases;
}

TapCounts ReadWithTapParser(const std::string &ktap)
{
	TempDir tmp;
	WriteFile(tmp / "ktap", ktap);
	Spawn perl;
	perl.argv = {"/usr/bin/perl", "-MTAP::Parser", "-e",
		     "local $/; open my $f, '<', $ARGV[0] or die; my $tap = <$f>;"
		     "my $p = TAP::Parser->new({tap => $tap}); 1 while $p->next;"
		     "printf \"%s %d %d %d %d %d\\n\", $p->plan, $p->tests_run, scalar $p->passed,"
		     "scalar $p->failed, scalar $p->skipped, scalar $p->parse_errors;",
		     tmp / "ktap"};
	TapCounts c;
	std::istringstream(RunSpawn(perl).out) >> c.plan >> c.run >> c.passed >> c.failed >>
	    c.skipped >> c.errors;
	return c;
}

// Linaro's slugify: each run of characters but letters, digits, "_" and
// "-" as one "_", none at either end.
static std::string LinaroSlug(const std::string &name)
{
	std::string slug;
	for (char c : name) {
		bool kept = std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
		if (kept)
			slug += c;
		else if (slug.empty() || slug.back() != '_')
			slug += '_';
	}
	while (!slug.empty() && slug.front() == '_')
		slug.erase(0, 1);
	while (!slug.empty() && slug.back() == '_')
		slug.pop_back();
	return slug;
}

std::vector<std::string> LinaroExpected(const std::vector<std::string> &results, int status)
{
	std::vector<std::string> cases = {"shardfile-kernel_checks pass"};
	for (std::string line : results) {
		line.erase(0, line.find_first_not_of(' '));
		bool ok = line.rfind("ok ", 0) == 0;
		line.erase(0, line.find(' ', ok ? 3 : 7) + 1);
		size_t directive = line.find(" # ");
		std::string result =
		    !ok ? "fail"
		    : directive != std::string::npos && line.compare(directive, 7, " # SKIP") == 0
			? "skip"
			: "pass";
		cases.push_back("kernel_checks_run_checks_" +
				LinaroSlug(line.substr(0, directive)) + " " + result);
	}
	cases.push_back(std::string("kernel_checks_run_checks ") + (status == 0	  ? "pass"
								    : status == 4 ? "skip"
										  : "fail"));
	return cases;
}

} // namespace checks
