#pragma once
// Small helpers of the scene traversal shared by the scene operators.
#include <cstddef>
#include <vector>

#include "engine/Context.h"
#include "engine/Port.h"

// True when input i of an operator has at least one connection.
inline bool isConnected(const std::vector<Port*>& sources, size_t i) {
  return i < sources.size() && !sources[i]->sources.empty();
}

// Evaluates image input i and returns the picture it left in the Context (null when the
// input is not connected), putting the Context's image result back as it was.
Texture* evalImageInput(const std::vector<Port*>& sources, size_t i, float t, Context& ctx);

// Evaluates every connection of (multi) input i in connection order. Nesting deeper than a
// production can sensibly reach (a cycle through multi inputs) stops quietly.
void evalEachConnection(const std::vector<Port*>& sources, size_t i, float t, Context& ctx);
