#pragma once
// Reading an enumerated parameter (one declared with param::choice): its float holds the
// index of a choice, taken by truncation toward zero, so 1.5 and 1.99 choose choice 1 and
// -0.5 choice 0. NaN and values beyond the 32-bit range choose nothing (INT32_MIN). Every
// operator reads its choices through here; what an index outside the list does is the
// operator's own rule.
#include <cstddef>
#include <cstdint>
#include <vector>

class Context;
class Port;

int32_t choiceIndex(float value);

// Evaluates input i and reads it as a choice index.
int32_t evalChoice(const std::vector<Port*>& sources, size_t i, float t, Context& ctx);
