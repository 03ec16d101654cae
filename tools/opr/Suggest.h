#pragma once
// "Did you mean" for names typed by hand: operator types, parameters, ports and keys.
#include <string>
#include <vector>

// The candidate closest to `typed`, or empty when none is close enough to be a likely typo.
// Letter case does not count as a difference, a swap of two neighbouring letters counts as
// one edit, and the distance allowed grows with the length of the name.
std::string closestName(const std::string& typed, const std::vector<std::string>& candidates);

// " (did you mean "X"?)" for the closest candidate, or empty.
std::string didYouMean(const std::string& typed, const std::vector<std::string>& candidates);
