// What KTAP should become in LAVA, worked out here apart from the project's
// converter (lava/ktap-results.sh) so that the tests judge it.
#pragma once

#include <string>
#include <vector>

namespace checks
{

// One "name result" per result line, subtests after their parent as
// "parent.name"; pass, fail or skip, XFAIL counting as pass and TIMEOUT as
// fail; "/" and anything but letters, digits, "_", "." and "-" as "_".
std::vector<std::string> LavaCases(const std::vector<std::string> &ktap);

} // namespace checks
