#pragma once
// Ports, value holders and evaluation functions: the data plumbing of the operator graph.
//
// Results never travel along connections. Evaluating a port runs its source Function,
// which leaves the value in the shared Context (floatResult / textResult); whoever asked
// reads it there at once, before evaluating anything else.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/Context.h"
#include "treefile/TreeFile.h"

class Operator;
class Port;
class CurveFunction;

enum class PortType : uint32_t { Float = 0, Scene = 1, Image = 2, Text = 3, Generic = 4 };

// How a port's value is meant to be edited and read. Only PortFlagMulti changes what
// the engine itself does (a further connection is added instead of replacing the old one).
enum PortFlags : uint32_t {
  PortFlagShaderPath = 0x02,
  PortFlagMulti = 0x08,
  PortFlagBool = 0x10,
  PortFlagEnum = 0x20,
  PortFlagInt = 0x40,
  PortFlagDataPath = 0x80,
};

// ---- value holders ----------------------------------------------------------------

class IValue {
 public:
  explicit IValue(PortType k) : kind(static_cast<uint32_t>(k)) {}
  virtual ~IValue() = default;
  // Held value -> the Context result slot of its type.
  virtual void writeResult(Context& ctx) = 0;
  // The Context result slot -> held value.
  virtual void readResult(Context& ctx) = 0;
  // Reads or writes the held value as the child `key` of the node.
  virtual void serialize(TreeNodeRef node, const char* key) = 0;

  uint32_t kind;
};

template <class T>
class Value {
 public:
  Value() = default;
  explicit Value(T v) : value(std::move(v)) {}
  T value{};
};

class Float : public Value<float>, public IValue {
 public:
  explicit Float(float v = 0.0f) : Value<float>(v), IValue(PortType::Float) {}
  void writeResult(Context& ctx) override { ctx.floatResult = value; }
  void readResult(Context& ctx) override { value = ctx.floatResult; }
  void serialize(TreeNodeRef node, const char* key) override;
};

class Text : public Value<std::string>, public IValue {
 public:
  explicit Text(std::string v = {}) : Value<std::string>(std::move(v)), IValue(PortType::Text) {}
  void writeResult(Context& ctx) override {
    if (&ctx.textResult != &value) ctx.textResult = value;
  }
  void readResult(Context& ctx) override {
    if (&ctx.textResult != &value) value = ctx.textResult;
  }
  void serialize(TreeNodeRef node, const char* key) override;
};

// Images, scenes and the graph ends carry no stored value: evaluating their input only
// runs the upstream function.
class Image : public IValue {
 public:
  Image() : IValue(PortType::Image) {}
  void writeResult(Context&) override {}
  void readResult(Context&) override {}
  void serialize(TreeNodeRef, const char*) override {}
};

class Scene : public IValue {
 public:
  Scene() : IValue(PortType::Scene) {}
  void writeResult(Context&) override {}
  void readResult(Context&) override {}
  void serialize(TreeNodeRef, const char*) override {}
};

class Generic : public IValue {
 public:
  Generic() : IValue(PortType::Generic) {}
  void writeResult(Context&) override {}
  void readResult(Context&) override {}
  void serialize(TreeNodeRef, const char*) override {}
};

// ---- enumerated parameters with run-time choices ------------------------------------

struct EnumEntry {
  std::string name;
  int32_t value = 0;
};

class IEnumDataProvider {
 public:
  virtual ~IEnumDataProvider() = default;
  virtual std::vector<EnumEntry> getEntries() { return {}; }
};

// ---- functions ----------------------------------------------------------------------

// All behaviour of an operator sits in Functions. An output port owns its operator's
// function; an input port owns a ValueFunction (or a CurveFunction once animated).
class Function {
 public:
  Function() = default;
  Function(const Function&) = delete;
  Function& operator=(const Function&) = delete;
  virtual ~Function() = default;

  // Computes the output at time t and leaves the result in the Context. `sources` are
  // the ports the evaluated port depends on: for an output, its operator's inputs in
  // declaration order; for an input, the upstream outputs connected to it.
  virtual void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) = 0;
  // Stores the Context's current result as the value at time t.
  virtual void assign(Context& ctx, float t) {
    (void)ctx;
    (void)t;
  }
  // The value holder of a parameter; null for every other function.
  virtual IValue* value() { return nullptr; }
  virtual void serialize(TreeNodeRef node, const char* key) {
    (void)node;
    (void)key;
  }

  uint8_t needsInit = 1;   // 1 until the first evaluation created what it needs
  uint32_t outputIndex = 0;  // set by Operator::numberOutputs
};

// The source of every unanimated input: a constant, or the value that arrives from the
// first connection (which the holder then keeps).
class ValueFunction : public Function {
 public:
  explicit ValueFunction(std::unique_ptr<IValue> v) : holder(std::move(v)) {}
  void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  void assign(Context& ctx, float t) override;
  IValue* value() override { return holder.get(); }
  void serialize(TreeNodeRef node, const char* key) override;

  std::unique_ptr<IValue> holder;

 protected:
  // Set while the upstream of this input is being evaluated. A production whose
  // connections form a cycle (or a graph that embeds itself) would otherwise recurse
  // until the stack overflows; a re-entered input yields its held value instead.
  bool active_ = false;
};

// ---- ports ----------------------------------------------------------------------------

struct SourceOrder {
  Port* port = nullptr;
  int32_t index = 0;  // the index under which that source was connected
};

class Port {
 public:
  Port() = default;
  Port(Port&&) noexcept = default;
  Port& operator=(Port&&) noexcept = default;
  ~Port();

  // Runs the port's source with its own sources; the value is then in the Context.
  void evaluate(float t, Context& ctx) { source->evaluate(t, sources, ctx); }

  // Adds `p` to sources (and source order) unless it is there already.
  // Returns false when it was already present.
  bool link(Port* p, int32_t index);
  // Removes the first occurrence of `p` from sources and source order.
  void unlink(Port* p);
  // Position of `p` in sources, or -1.
  int32_t sourcePosition(const Port* p) const;
  // Sorts the source order by index (ascending, signed) and rebuilds sources from it.
  void sortSources();

  // Reads or writes this port from its "input" / "output" node (project loader).
  void serialize(TreeNodeRef node);

  PortType type = PortType::Float;
  std::unique_ptr<Function> source;
  CurveFunction* curve = nullptr;  // non-owning; equals source when the input is animated
  std::string name;
  uint32_t flags = 0;
  std::vector<Port*> sources;
  std::vector<SourceOrder> sourceOrder;
  std::vector<std::string> choices;
  Operator* owner = nullptr;
  std::unique_ptr<IEnumDataProvider> choiceProvider;
};

// Helpers for Function::evaluate: evaluate input i and read its result at once.
inline float evalFloat(const std::vector<Port*>& sources, size_t i, float t, Context& ctx) {
  sources[i]->evaluate(t, ctx);
  return ctx.floatResult;
}
inline const std::string& evalText(const std::vector<Port*>& sources, size_t i, float t, Context& ctx) {
  sources[i]->evaluate(t, ctx);
  return ctx.textResult;
}
inline void evalInput(const std::vector<Port*>& sources, size_t i, float t, Context& ctx) {
  sources[i]->evaluate(t, ctx);
}
