#pragma once
// Helpers of the simulation suites: operators wired by hand, parameters set by name, and
// typed read-back of GPU buffers.
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/Operator.h"
#include "engine/Port.h"

namespace simtest {

// Connects source's first output to target's input `input` (a further connection on a
// multi-connection input).
inline void connect(Operator& target, size_t input, Operator& source) {
  Port& in = target.inputs.at(input);
  in.link(&source.outputs.at(0), int32_t(in.sources.size()));
}

inline void setParam(Operator& op, const std::string& name, float v) {
  Port* p = op.findPort(name);
  if (!p || !p->source || !p->source->value()) throw std::runtime_error("no port " + name);
  static_cast<Float*>(p->source->value())->value = v;
}

inline void setText(Operator& op, const std::string& name, const std::string& v) {
  Port* p = op.findPort(name);
  if (!p || !p->source || !p->source->value()) throw std::runtime_error("no port " + name);
  static_cast<Text*>(p->source->value())->value = v;
}

inline void evaluate(Operator& op, float t, Context& ctx) { op.outputs.at(0).evaluate(t, ctx); }

template <typename Function>
Function& functionOf(Operator& op) {
  return *static_cast<Function*>(op.outputs.at(0).source.get());
}

template <typename T>
std::vector<T> asRecords(const std::vector<uint8_t>& bytes) {
  std::vector<T> out(bytes.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

}  // namespace simtest
