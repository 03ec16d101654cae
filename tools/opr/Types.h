#pragma once
// opr types: what every registered operator type takes and gives, as text or as the
// Markdown of docs/operators.md.
#include <string>

// Prints every registered type (or only `name` when it is not empty) to standard output.
// Returns the exit status: 1 (with a message) for a name that is not registered.
int cmdTypes(const std::string& name, bool markdown);
