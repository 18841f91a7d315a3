#include "ktap.h"

#include "run.h"

#include <cctype>
#include <sstream>

namespace checks
{

std::vector<std::string> LavaCases(const std::vector<std::string> &ktap)
{
	std::vector<std::string> cases, subtests;
	for (const std::string &line : ktap) {
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
		for (const std::string &sub : subtests)
			cases.push_back(name + "." + sub);
		subtests.clear();
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

} // namespace checks
