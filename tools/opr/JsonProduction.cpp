#include "tools/opr/JsonProduction.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <map>
#include <unordered_map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <unordered_set>
#include <vector>

#include "engine/Curve.h"
#include "engine/Project.h"
#include "tools/opr/Suggest.h"

using nlohmann::json;

namespace {

// ---------------------------------------------------------------------------------------
// Line numbers. nlohmann's DOM keeps no positions, so the text is fed through an iterator
// that counts lines, and the parser callback records, for every element, the line of the
// last non-blank character read when the element was seen (its key, or its first token).

struct LineState {
  int line = 1;
  int tokenLine = 1;
};

class LineCountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  LineCountingIterator(const char* p, LineState* state) : p_(p), state_(state) {}
  reference operator*() const { return *p_; }
  LineCountingIterator& operator++() {
    const char c = *p_;
    if (c == '\n') {
      ++state_->line;
    } else if (c != ' ' && c != '\t' && c != '\r') {
      state_->tokenLine = state_->line;
    }
    ++p_;
    return *this;
  }
  LineCountingIterator operator++(int) {
    LineCountingIterator old = *this;
    ++*this;
    return old;
  }
  bool operator==(const LineCountingIterator& o) const { return p_ == o.p_; }
  bool operator!=(const LineCountingIterator& o) const { return p_ != o.p_; }

 private:
  const char* p_;
  LineState* state_;
};

std::string escapePointer(const std::string& key) {
  std::string out;
  for (char c : key) {
    if (c == '~') out += "~0";
    else if (c == '/') out += "~1";
    else out += c;
  }
  return out;
}

// Nesting a production needs is about ten levels; the limit keeps a hostile file (a
// million nested brackets) from costing memory for every level.
constexpr size_t kMaxDepth = 256;

// Names and other texts from the file are echoed in messages; a pasted blob of megabytes
// must not be. Cut at a character boundary.
std::string shown(const std::string& text) {
  constexpr size_t kMax = 64;
  if (text.size() <= kMax) return text;
  size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "... (" + std::to_string(text.size()) + " bytes)";
}

// Builds the document from the parser's events and records, for every element, its line.
// Paths are JSON pointers ("/graphs/0/operators/2/type"). The DOM is built here rather than
// by the library's callback parser, which rescans the enclosing list at every closing
// bracket and so takes quadratic time on long lists. Building it here also lets the
// reader refuse what a DOM silently accepts: a key given twice keeps only its last value,
// and unbounded nesting.
class Reader {
 public:
  explicit Reader(const LineState& s) : state_(s) {}

  // The event interface of nlohmann::json::sax_parse.
  bool null() { return add(json(nullptr)); }
  bool boolean(bool b) { return add(json(b)); }
  bool number_integer(json::number_integer_t v) { return add(json(v)); }
  bool number_unsigned(json::number_unsigned_t v) { return add(json(v)); }
  bool number_float(json::number_float_t v, const std::string&) { return add(json(v)); }
  bool string(std::string& s) { return add(json(std::move(s))); }
  bool binary(json::binary_t& b) { return add(json(std::move(b))); }
  bool start_object(std::size_t) { return open(json::object()); }
  bool start_array(std::size_t) { return open(json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(std::string& k) {
    Frame& f = frames_.back();
    if (f.value->contains(k)) {
      error_ = "the key \"" + shown(k) + "\" is given twice in this object";
      return false;
    }
    f.key = std::move(k);
    record(elementPath());
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const json::exception& e) {
    // The library's text starts with its own error code and, for syntax errors, a
    // position of its own counting; the message gives the line itself.
    std::string why = e.what();
    if (const size_t code = why.find("] "); why.front() == '[' && code != std::string::npos) why.erase(0, code + 2);
    if (why.rfind("parse error", 0) == 0) {
      if (const size_t colon = why.find(": "); colon != std::string::npos) why.erase(0, colon + 2);
    }
    error_ = "not valid JSON: " + why;
    return false;
  }

  json& document() { return root_; }
  const std::string& error() const { return error_; }

  // The line of the element at path, or of its nearest recorded ancestor.
  int lineOf(std::string path) const {
    for (;;) {
      auto it = lines_.find(path);
      if (it != lines_.end()) return it->second;
      const size_t slash = path.rfind('/');
      if (slash == std::string::npos) return 1;
      path.resize(slash);
    }
  }

 private:
  struct Frame {
    json* value;
    size_t nextIndex;
    std::string key;
    std::string path;
  };

  std::string elementPath() const {
    const Frame& f = frames_.back();
    return f.path + "/" + (f.value->is_array() ? std::to_string(f.nextIndex) : escapePointer(f.key));
  }
  void record(const std::string& p) { lines_.emplace(p, state_.tokenLine); }

  // Places v in the open container (or as the document) and returns where it landed.
  json* place(json&& v) {
    if (frames_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    Frame& f = frames_.back();
    if (f.value->is_array()) {
      record(elementPath());
      ++f.nextIndex;
      f.value->push_back(std::move(v));
      return &f.value->back();
    }
    return &((*f.value)[f.key] = std::move(v));
  }
  bool add(json&& v) {
    place(std::move(v));
    return true;
  }
  bool open(json&& container) {
    if (frames_.size() >= kMaxDepth) {
      error_ = "nested deeper than " + std::to_string(kMaxDepth) + " levels";
      return false;
    }
    const std::string path = frames_.empty() ? std::string() : elementPath();
    if (frames_.empty()) record(path);
    json* at = place(std::move(container));
    frames_.push_back({at, 0, {}, path});
    return true;
  }
  bool close() {
    frames_.pop_back();
    return true;
  }

  const LineState& state_;
  json root_;
  std::vector<Frame> frames_;
  std::unordered_map<std::string, int> lines_;
  std::string error_;
};

// ---------------------------------------------------------------------------------------

// An element of the document together with its pointer, so every check can name its line.
struct Item {
  const json& v;
  std::string path;
  Item at(const std::string& key) const { return {v.at(key), path + "/" + escapePointer(key)}; }
  Item at(size_t i) const { return {v.at(i), path + "/" + std::to_string(i)}; }
};

struct BuildError {
  std::string path;
  std::string what;
};

[[noreturn]] void fail(const Item& it, const std::string& what) { throw BuildError{it.path, what}; }

void allowKeys(const Item& obj, std::initializer_list<const char*> keys, const char* what) {
  if (!obj.v.is_object()) fail(obj, std::string(what) + " must be an object");
  for (auto it = obj.v.begin(); it != obj.v.end(); ++it) {
    if (std::find_if(keys.begin(), keys.end(), [&](const char* k) { return it.key() == k; }) == keys.end()) {
      fail(obj.at(it.key()), "unknown key \"" + shown(it.key()) + "\" in " + what +
                                 didYouMean(it.key(), std::vector<std::string>(keys.begin(), keys.end())));
    }
  }
}

std::string listed(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "\"" : ", \"") + n + "\"";
  return out;
}

const json* find(const Item& obj, const char* key) {
  auto it = obj.v.find(key);
  return it == obj.v.end() ? nullptr : &*it;
}

float getFloat(const Item& it, const char* what) {
  if (!it.v.is_number()) fail(it, std::string(what) + " must be a number");
  const double d = it.v.get<double>();
  if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) fail(it, std::string(what) + " is too large for a float");
  // A value written as non-zero must not quietly become 0.
  if (d != 0.0 && static_cast<float>(d) == 0.0f) fail(it, std::string(what) + " is too small for a float (write 0 for zero)");
  return static_cast<float>(d);
}

int32_t getInt(const Item& it, const char* what) {
  if (!it.v.is_number_integer()) fail(it, std::string(what) + " must be an integer");
  if (it.v.is_number_unsigned() && it.v.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    fail(it, std::string(what) + " does not fit in 32 bits");
  }
  const int64_t v = it.v.get<int64_t>();
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    fail(it, std::string(what) + " does not fit in 32 bits");
  }
  return static_cast<int32_t>(v);
}

std::string getString(const Item& it, const char* what) {
  if (!it.v.is_string()) fail(it, std::string(what) + " must be a string");
  return it.v.get<std::string>();
}

float optFloat(const Item& obj, const char* key, float def) {
  return find(obj, key) ? getFloat(obj.at(key), key) : def;
}
int32_t optInt(const Item& obj, const char* key, int32_t def) {
  return find(obj, key) ? getInt(obj.at(key), key) : def;
}

void getVec2(const Item& it, const char* what, float (&out)[2]) {
  if (!it.v.is_array() || it.v.size() != 2) fail(it, std::string(what) + " must be an array of two numbers");
  out[0] = getFloat(it.at(size_t{0}), what);
  out[1] = getFloat(it.at(size_t{1}), what);
}

// A code given as a number or by one of its names.
int32_t getCode(const Item& it, const char* what, std::initializer_list<const char*> names) {
  if (it.v.is_string()) {
    const std::string s = it.v.get<std::string>();
    int32_t i = 0;
    for (const char* n : names) {
      if (s == n) return i;
      ++i;
    }
    std::string list;
    for (const char* n : names) list += std::string(list.empty() ? "" : ", ") + n;
    fail(it, "unknown " + std::string(what) + " \"" + shown(s) + "\" (one of " + list + ", or a number)");
  }
  return getInt(it, what);
}

const std::initializer_list<const char*> kShapes = {"linear", "bezier", "hermite", "step"};
const std::initializer_list<const char*> kModes = {"zero", "hold", "loop", "pingpong"};

void setCurve(Port& port, const Item& curveItem, const std::string& opLabel) {
  allowKeys(curveItem, {"value", "before", "after", "keys"}, "a curve");
  auto* vf = dynamic_cast<ValueFunction*>(port.source.get());
  if (!vf || !vf->holder) fail(curveItem, opLabel + ": input \"" + port.name + "\" cannot be animated");
  auto curve = std::make_unique<CurveFunction>(std::move(vf->holder));
  if (find(curveItem, "value")) static_cast<Float*>(curve->holder.get())->value = getFloat(curveItem.at("value"), "value");
  curve->beforeMode = static_cast<uint32_t>(find(curveItem, "before") ? getCode(curveItem.at("before"), "before mode", kModes) : 1);
  curve->afterMode = static_cast<uint32_t>(find(curveItem, "after") ? getCode(curveItem.at("after"), "after mode", kModes) : 1);
  if (!find(curveItem, "keys")) fail(curveItem, "a curve needs \"keys\"");
  const Item keys = curveItem.at("keys");
  if (!keys.v.is_array()) fail(keys, "\"keys\" must be an array");
  for (size_t i = 0; i < keys.v.size(); ++i) {
    const Item k = keys.at(i);
    allowKeys(k, {"time", "value", "shape", "cp1", "cp2"}, "a key");
    if (!find(k, "time") || !find(k, "value")) fail(k, "a key needs \"time\" and \"value\"");
    Key key;
    key.time = getFloat(k.at("time"), "time");
    key.value = getFloat(k.at("value"), "value");
    key.shape = find(k, "shape") ? getCode(k.at("shape"), "shape", kShapes) : 0;
    if (find(k, "cp1")) getVec2(k.at("cp1"), "cp1", key.cp1);
    if (find(k, "cp2")) getVec2(k.at("cp2"), "cp2", key.cp2);
    // The player never sorts keys; a segment search over unsorted keys finds nonsense.
    if (!curve->keys.empty() && key.time < curve->keys.back().time) fail(k.at("time"), "keys must be in time order");
    curve->keys.push_back(key);
  }
  CurveFunction* raw = curve.get();
  port.source = std::move(curve);
  port.curve = raw;
}

// The names an author can give in "params": the inputs that hold a value.
std::vector<std::string> parameterNames(const Operator& op) {
  std::vector<std::string> names;
  for (const Port& p : op.inputs) {
    IValue* holder = p.source ? p.source->value() : nullptr;
    if (holder && (holder->kind == static_cast<uint32_t>(PortType::Float) || holder->kind == static_cast<uint32_t>(PortType::Text))) {
      names.push_back(p.name);
    }
  }
  return names;
}

void setParameter(Operator& op, const std::string& name, const Item& value, const std::string& opLabel) {
  Port* port = nullptr;
  for (Port& p : op.inputs) {
    if (p.name == name) {
      port = &p;
      break;
    }
  }
  if (!port) fail(value, opLabel + " has no parameter \"" + shown(name) + "\"" + didYouMean(name, parameterNames(op)));
  IValue* holder = port->source ? port->source->value() : nullptr;
  if (!holder || port->curve) fail(value, opLabel + ": parameter \"" + name + "\" cannot be set");

  if (holder->kind == static_cast<uint32_t>(PortType::Text)) {
    static_cast<Text*>(holder)->value = getString(value, ("parameter \"" + name + "\"").c_str());
    return;
  }
  if (holder->kind != static_cast<uint32_t>(PortType::Float)) {
    fail(value, opLabel + ": input \"" + name + "\" holds no value; connect it instead");
  }
  auto* f = static_cast<Float*>(holder);
  if (value.v.is_object()) {
    // The choice is stored as the bits of an id; a curve would blend bit patterns.
    if (port->choiceProvider) fail(value, opLabel + ": \"" + name + "\" chooses a graph and cannot be animated");
    setCurve(*port, value, opLabel);
  } else if (value.v.is_string() && !port->choices.empty()) {
    const std::string s = value.v.get<std::string>();
    auto it = std::find(port->choices.begin(), port->choices.end(), s);
    if (it == port->choices.end()) {
      fail(value, opLabel + ": \"" + shown(s) + "\" is not a choice of \"" + name + "\"; the choices are " +
                      listed(port->choices) + didYouMean(s, port->choices));
    }
    f->value = static_cast<float>(it - port->choices.begin());
  } else if (port->choiceProvider) {
    // Choices computed at run time (graph ids) are stored as the bits of the float.
    f->value = std::bit_cast<float>(getInt(value, ("parameter \"" + name + "\"").c_str()));
  } else {
    f->value = getFloat(value, ("parameter \"" + name + "\"").c_str());
  }
}

struct PendingConnection {
  std::string where;  // the connection's path
  Operator* source;
  std::string output;
  Operator* target;
  std::string input;
  int32_t order;
  size_t position;
};

// What the checks after building need to know of a graph: where its parts stand in the file.
struct GraphSource {
  OperatorGraph* graph = nullptr;
  std::string path;
  std::unordered_map<const Operator*, std::string> operatorPaths;
  std::vector<PendingConnection> connections;
};

std::string label(const Operator& op) {
  std::string s = "operator " + std::to_string(op.id) + " (" + op.type;
  if (!op.customName.empty()) s += " \"" + shown(op.customName) + "\"";
  return s + ")";
}

std::vector<std::string> portNames(const std::vector<Port>& ports) {
  std::vector<std::string> names;
  for (const Port& p : ports) names.push_back(p.name);
  return names;
}

const char* carries(PortType t) {
  switch (t) {
    case PortType::Float: return "a number";
    case PortType::Scene: return "a scene";
    case PortType::Image: return "a picture";
    case PortType::Text: return "a text";
    case PortType::Generic: return "a graph's picture";
  }
  return "?";
}

// Results travel through the Context, not along connections, so a mismatched connection
// plays without a message: a picture fed into a scene input draws into the wrong target, a
// scene fed into an image input draws into whatever picture is current. The graph ends and
// the "Graph" operator carry whatever a graph draws, which a scene or an image input takes.
bool kindsMatch(PortType from, PortType to) {
  if (to == PortType::Generic || from == to) return true;
  return from == PortType::Generic && (to == PortType::Scene || to == PortType::Image);
}

// Refuses a cycle of connections: a function that reads its own output is evaluated
// again from inside itself (the engine cuts such recursion short, so the cycle would
// quietly read stale values instead). Iterative, so a long chain cannot exhaust the stack.
void checkCycles(const GraphSource& gs) {
  std::unordered_map<const Operator*, std::vector<const PendingConnection*>> out;
  for (const PendingConnection& c : gs.connections) out[c.source].push_back(&c);
  enum Mark : uint8_t { Unseen, OnPath, Done };
  std::unordered_map<const Operator*, Mark> mark;
  struct Step {
    const Operator* op;
    size_t next;  // the next of its outgoing connections to follow
  };
  for (const auto& start : gs.graph->operators) {
    if (mark[start.get()] != Unseen) continue;
    std::vector<Step> path = {{start.get(), 0}};
    mark[start.get()] = OnPath;
    while (!path.empty()) {
      Step& top = path.back();
      const auto& edges = out[top.op];
      if (top.next == edges.size()) {
        mark[top.op] = Done;
        path.pop_back();
        continue;
      }
      const PendingConnection* c = edges[top.next++];
      const Mark m = mark[c->target];
      if (m == OnPath) {
        std::string ring;
        size_t k = path.size();
        while (k > 0 && path[k - 1].op != c->target) --k;
        for (size_t i = k - 1; i < path.size(); ++i) ring += std::to_string(path[i].op->id) + " -> ";
        ring += std::to_string(c->target->id);
        throw BuildError{c->where + "/to", "this connection closes a cycle of operators " + ring + " in graph " +
                                       std::to_string(gs.graph->id) + "; an operator cannot read its own result"};
      }
      if (m == Unseen) {
        mark[c->target] = OnPath;
        path.push_back({c->target, 0});
      }
    }
  }
}

GraphSource buildGraph(const Item& g, OperatorGraph& graph) {
  GraphSource gs;
  gs.graph = &graph;
  gs.path = g.path;
  allowKeys(g, {"id", "name", "operators", "connections"}, "a graph");
  if (!find(g, "id")) fail(g, "a graph needs an \"id\"");
  graph.id = getInt(g.at("id"), "graph id");
  if (find(g, "name")) graph.name = getString(g.at("name"), "graph name");
  graph.clearOperators();
  graph.createGraphEnds();

  // Ids: explicit ones first, so the ones handed out never collide with them.
  std::set<int32_t> taken = {0, 1};
  const json empty = json::array();
  const Item ops = find(g, "operators") ? g.at("operators") : Item{empty, g.path + "/operators"};
  if (!ops.v.is_array()) fail(ops, "\"operators\" must be an array");
  for (size_t i = 0; i < ops.v.size(); ++i) {
    const Item o = ops.at(i);
    if (!o.v.is_object()) fail(o, "an operator must be an object");
    if (!find(o, "id")) continue;
    const int32_t id = getInt(o.at("id"), "operator id");
    if (id < 2) fail(o.at("id"), "operator ids 0 and 1 belong to the graph ends");
    if (!taken.insert(id).second) fail(o.at("id"), "operator id " + std::to_string(id) + " is used twice in this graph");
  }
  // Operators without an id are numbered after the highest id given, in file order.
  int64_t nextFree = int64_t{*taken.rbegin()} + 1;
  for (size_t i = 0; i < ops.v.size(); ++i) {
    const Item o = ops.at(i);
    allowKeys(o, {"type", "id", "name", "pos", "params"}, "an operator");
    if (!find(o, "type")) fail(o, "an operator needs a \"type\"");
    const std::string type = getString(o.at("type"), "type");
    if (type == "Output" || type == "Input") {
      fail(o.at("type"), "\"" + type + "\" is a graph end; every graph has them as operators 0 and 1");
    }
    if (!OperatorRegistry::find(type)) {
      std::vector<std::string> types;
      for (const auto& [name, factory] : OperatorRegistry::entries()) types.push_back(name);
      fail(o.at("type"), "unknown operator type \"" + shown(type) + "\"" + didYouMean(type, types));
    }
    Operator* op = graph.createOperator(type);
    if (!op) fail(o.at("type"), "could not create an operator of type \"" + type + "\"");
    if (find(o, "id")) {
      op->id = getInt(o.at("id"), "operator id");
    } else {
      if (nextFree > std::numeric_limits<int32_t>::max()) {
        fail(o, "no operator id is left above " + std::to_string(*taken.rbegin()) + "; give this operator an \"id\"");
      }
      op->id = static_cast<int32_t>(nextFree++);
    }
    gs.operatorPaths[op] = o.path;
    if (find(o, "name")) op->customName = getString(o.at("name"), "name");
    if (find(o, "pos")) getVec2(o.at("pos"), "pos", op->position);
    const std::string opLabel = "operator " + std::to_string(op->id) + " (" + type + ")";
    if (find(o, "params")) {
      const Item params = o.at("params");
      if (!params.v.is_object()) fail(params, "\"params\" must be an object");
      for (auto it = params.v.begin(); it != params.v.end(); ++it) {
        setParameter(*op, it.key(), params.at(it.key()), opLabel);
      }
    }
  }
  graph.refreshNextId();

  // Connections: checked first, then made per target input in the order of their
  // "index" (an input's sources are ordered by it), the others in file order after them.
  std::vector<PendingConnection>& pending = gs.connections;
  if (find(g, "connections")) {
    const Item cs = g.at("connections");
    if (!cs.v.is_array()) fail(cs, "\"connections\" must be an array");
    for (size_t i = 0; i < cs.v.size(); ++i) {
      const Item c = cs.at(i);
      allowKeys(c, {"from", "output", "to", "input", "index"}, "a connection");
      for (const char* k : {"from", "output", "to", "input"}) {
        if (!find(c, k)) fail(c, std::string("a connection needs \"") + k + "\"");
      }
      const int32_t from = getInt(c.at("from"), "from");
      const int32_t to = getInt(c.at("to"), "to");
      Operator* src = graph.findOperator(from);
      Operator* dst = graph.findOperator(to);
      if (!src) fail(c.at("from"), "no operator with id " + std::to_string(from) + " in graph " + std::to_string(graph.id));
      if (!dst) fail(c.at("to"), "no operator with id " + std::to_string(to) + " in graph " + std::to_string(graph.id));
      const std::string out = getString(c.at("output"), "output");
      const std::string in = getString(c.at("input"), "input");
      // Connections find ports by name, inputs first: the output must be what that finds.
      Port* sp = src->findPort(out);
      if (!sp || sp < src->outputs.data() || sp >= src->outputs.data() + src->outputs.size()) {
        fail(c.at("output"), label(*src) + " has no output \"" + shown(out) + "\"" +
                                 (sp ? " (\"" + out + "\" is one of its inputs)" : didYouMean(out, portNames(src->outputs))));
      }
      Port* tp = dst->findPort(in);
      if (!tp || tp < dst->inputs.data() || tp >= dst->inputs.data() + dst->inputs.size()) {
        fail(c.at("input"), label(*dst) + " has no input \"" + shown(in) + "\"" +
                                (tp ? " (\"" + in + "\" is one of its outputs)" : didYouMean(in, portNames(dst->inputs))));
      }
      if (tp->curve) fail(c.at("input"), "input \"" + in + "\" is animated and cannot also be connected");
      if (!kindsMatch(sp->type, tp->type)) {
        fail(c.at("input"), "output \"" + out + "\" of " + label(*src) + " gives " + carries(sp->type) + ", but input \"" + in +
                    "\" of " + label(*dst) + " takes " + carries(tp->type));
      }
      const int32_t index = find(c, "index") ? getInt(c.at("index"), "index") : std::numeric_limits<int32_t>::max();
      pending.push_back({c.path, src, out, dst, in, index, i});
    }
  }
  checkCycles(gs);
  std::vector<PendingConnection> ordered = pending;
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const PendingConnection& a, const PendingConnection& b) { return a.order < b.order; });
  for (const PendingConnection& p : ordered) {
    Port* tp = p.target->findPort(p.input);
    Port* sp = p.source->findPort(p.output);
    if (std::find(tp->sources.begin(), tp->sources.end(), sp) != tp->sources.end()) {
      throw BuildError{p.where, "this connection is made twice"};
    }
    // A second connection on a single input would silently replace the first.
    if (!(tp->flags & PortFlagMulti) && !tp->sources.empty()) {
      throw BuildError{p.where, "input \"" + p.input + "\" of operator " + std::to_string(p.target->id) +
                                    " takes one connection and already has one"};
    }
    graph.connect(*p.source, p.output, *p.target, p.input);
  }
  return gs;
}

void buildSpan(const Item& s, Span& span, const std::set<int32_t>& graphIds) {
  allowKeys(s, {"graph", "start", "end", "link", "timeType", "offsetGlobal", "offsetSpan", "name"}, "a span");
  for (const char* k : {"graph", "start", "end"}) {
    if (!find(s, k)) fail(s, std::string("a span needs \"") + k + "\"");
  }
  span.graphId = getInt(s.at("graph"), "graph");
  if (!graphIds.count(span.graphId)) fail(s.at("graph"), "no graph with id " + std::to_string(span.graphId));
  span.timeStart = getFloat(s.at("start"), "start");
  span.timeEnd = getFloat(s.at("end"), "end");
  // Such a span would never be shown; it is a mistake, most likely swapped times.
  if (span.timeEnd < span.timeStart) fail(s.at("end"), "the span ends before it starts");
  span.upstreamLinkType = static_cast<uint32_t>(optInt(s, "link", 2));
  span.timeType = static_cast<uint32_t>(optInt(s, "timeType", 0));
  span.offsetGlobal = optFloat(s, "offsetGlobal", 0.0f);
  span.offsetSpan = optFloat(s, "offsetSpan", 0.0f);
  if (find(s, "name")) span.name = getString(s.at("name"), "name");
}

struct Warning {
  std::string path;
  std::string what;
};

std::string seconds(float t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g s", static_cast<double>(t));
  return buf;
}

// "Graph" operators draw another graph by id. An id that names no graph draws nothing; the
// operator's own graph, or a ring of graphs drawing each other, would draw itself forever
// (the engine cuts the recursion short and the picture is whatever was current).
void checkGraphOperators(const std::vector<GraphSource>& sources, const Project& project) {
  struct Use {
    const GraphSource* in;
    const Operator* op;
    int32_t target;
  };
  std::map<int32_t, std::vector<Use>> uses;  // by the id of the graph holding the operator
  std::string ids;
  for (const auto& g : project.graphs) ids += (ids.empty() ? "" : ", ") + std::to_string(g->id);
  for (const GraphSource& gs : sources) {
    for (const auto& op : gs.graph->operators) {
      if (op->type != "Graph") continue;
      const Port* port = nullptr;
      for (const Port& p : op->inputs) {
        if (p.choiceProvider) port = &p;
      }
      if (!port || port->curve || !port->source || !port->source->value()) continue;
      const float stored = static_cast<Float*>(port->source->value())->value;
      const int32_t target = std::bit_cast<int32_t>(stored);
      const std::string opPath = gs.operatorPaths.at(op.get());
      const std::string where = stored == -1.0f ? opPath + "/type" : opPath + "/params/" + escapePointer(port->name);
      if (!project.findGraph(target)) {
        throw BuildError{where, label(*op) + (stored == -1.0f ? std::string(" names no graph; give it a \"Graph ID\"")
                                                               : " names graph " + std::to_string(target) +
                                                                     ", which does not exist") +
                                    " (the graphs are " + (ids.empty() ? std::string("none") : ids) + ")"};
      }
      if (target == gs.graph->id) throw BuildError{where, label(*op) + " names its own graph " + std::to_string(target)};
      uses[gs.graph->id].push_back({&gs, op.get(), target});
    }
  }
  // A ring through several graphs: depth-first over "graph draws graph", iteratively.
  std::map<int32_t, int> mark;  // 0 unseen, 1 on the path, 2 done
  for (const auto& [first, _] : uses) {
    if (mark[first]) continue;
    struct Step {
      int32_t graph;
      size_t next;
    };
    std::vector<Step> path = {{first, 0}};
    mark[first] = 1;
    while (!path.empty()) {
      Step& top = path.back();
      const auto it = uses.find(top.graph);
      if (it == uses.end() || top.next == it->second.size()) {
        mark[top.graph] = 2;
        path.pop_back();
        continue;
      }
      const Use& u = it->second[top.next++];
      if (mark[u.target] == 1) {
        std::string ring;
        size_t k = path.size();
        while (k > 0 && path[k - 1].graph != u.target) --k;
        for (size_t i = k - 1; i < path.size(); ++i) ring += std::to_string(path[i].graph) + " -> ";
        ring += std::to_string(u.target);
        const std::string where = u.in->operatorPaths.at(u.op) + "/params/Graph ID";
        throw BuildError{where, label(*u.op) + " closes a ring of graphs drawing each other: " + ring};
      }
      if (mark[u.target] == 0) {
        mark[u.target] = 1;
        path.push_back({u.target, 0});
      }
    }
  }
}

void warnAboutWiring(const GraphSource& gs, std::vector<Warning>& warnings) {
  const OperatorGraph& g = *gs.graph;
  const std::string graphLabel = "graph " + std::to_string(g.id) + (g.name.empty() ? "" : " \"" + shown(g.name) + "\"");
  const FinalOutput* out = g.finalOutput();
  if (out && !out->inputs.empty() && out->inputs[0].sources.empty()) {
    warnings.push_back({gs.path + "/id", graphLabel + ": nothing is connected to its output (operator 0, input \"In\"); "
                                             "it shows whatever picture was current"});
  }
  std::unordered_set<const Operator*> read;
  for (const PendingConnection& c : gs.connections) read.insert(c.source);
  // A generated graph may hold thousands; the first few say enough.
  constexpr size_t kShown = 10;
  size_t unread = 0;
  for (const auto& op : g.operators) {
    if (op.get() == out || op.get() == g.finalInput()) continue;
    if (op->flags & OperatorFlags::EveryFrame) continue;  // runs every frame whether read or not
    if (read.count(op.get())) continue;
    if (++unread <= kShown) {
      warnings.push_back({gs.operatorPaths.at(op.get()) + "/type", label(*op) + " in " + graphLabel + ": nothing reads it"});
    }
  }
  if (unread > kShown) {
    warnings.push_back({gs.path + "/operators", std::to_string(unread - kShown) + " more operators in " + graphLabel +
                                                    " that nothing reads"});
  }
}

struct SpanSource {
  const Span* span;
  std::string path;
  size_t track;
};

// Overlapping spans on one track draw both graphs, one over the other; a time that no span
// covers ends the run there, whatever comes after it.
void warnAboutTimeline(const std::vector<SpanSource>& spans, std::vector<Warning>& warnings) {
  std::vector<const SpanSource*> order;
  for (const SpanSource& s : spans) {
    if (s.span->timeEnd > s.span->timeStart) order.push_back(&s);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const SpanSource* a, const SpanSource* b) { return a->span->timeStart < b->span->timeStart; });
  std::map<size_t, const SpanSource*> lastOnTrack;  // the span reaching furthest so far
  for (const SpanSource* s : order) {
    const SpanSource*& last = lastOnTrack[s->track];
    if (last && s->span->timeStart < last->span->timeEnd) {
      warnings.push_back({s->path + "/start", "this span (graph " + std::to_string(s->span->graphId) + ", " +
                                       seconds(s->span->timeStart) + " to " + seconds(s->span->timeEnd) +
                                       ") overlaps the span of graph " + std::to_string(last->span->graphId) +
                                       " on track " + std::to_string(s->track) + " (" + seconds(last->span->timeStart) +
                                       " to " + seconds(last->span->timeEnd) + "); both are drawn"});
    }
    if (!last || s->span->timeEnd > last->span->timeEnd) last = s;
  }
  if (order.empty()) return;
  float covered = std::min(0.0f, order.front()->span->timeStart);
  for (const SpanSource* s : order) {
    if (s->span->timeStart > covered) {
      warnings.push_back({s->path + "/start", "no span covers " + seconds(covered) + " to " + seconds(s->span->timeStart) +
                                       ": the run ends at " + seconds(covered) + " and never reaches this span"});
      return;  // everything after the first gap is unreachable anyway
    }
    covered = std::max(covered, s->span->timeEnd);
  }
}

void buildProject(const Item& root, Project& project, std::vector<Warning>& warnings) {
  allowKeys(root, {"music", "graphs", "tracks"}, "the production");
  project.clear();
  if (find(root, "music")) project.musicPath = getString(root.at("music"), "music");

  std::set<int32_t> graphIds;
  std::vector<GraphSource> sources;
  if (find(root, "graphs")) {
    const Item gs = root.at("graphs");
    if (!gs.v.is_array()) fail(gs, "\"graphs\" must be an array");
    sources.reserve(gs.v.size());
    for (size_t i = 0; i < gs.v.size(); ++i) {
      auto graph = std::make_unique<OperatorGraph>();
      sources.push_back(buildGraph(gs.at(i), *graph));
      if (!graphIds.insert(graph->id).second) fail(gs.at(i).at("id"), "graph id " + std::to_string(graph->id) + " is used twice");
      project.graphs.push_back(std::move(graph));
    }
  }
  std::vector<SpanSource> spans;
  if (find(root, "tracks")) {
    const Item ts = root.at("tracks");
    if (!ts.v.is_array()) fail(ts, "\"tracks\" must be an array of span lists");
    if (ts.v.size() > Project::kTrackCount) fail(ts, "a production has at most 16 tracks");
    for (size_t i = 0; i < ts.v.size(); ++i) {
      const Item list = ts.at(i);
      if (!list.v.is_array()) fail(list, "a track must be an array of spans");
      for (size_t k = 0; k < list.v.size(); ++k) {
        auto span = std::make_unique<Span>();
        buildSpan(list.at(k), *span, graphIds);
        spans.push_back({span.get(), list.at(k).path, i});
        project.tracks[i].spans.push_back(std::move(span));
      }
    }
  }
  checkGraphOperators(sources, project);
  for (const GraphSource& gs : sources) warnAboutWiring(gs, warnings);
  warnAboutTimeline(spans, warnings);
}

}  // namespace

bool buildProjectFromJson(const std::string& text, const std::string& fileName, Project& project, std::string& error,
                          std::vector<std::string>* warnings) {
  LineState state;
  Reader reader(state);
  const LineCountingIterator first(text.data(), &state);
  const LineCountingIterator last(text.data() + text.size(), &state);
  if (!json::sax_parse(first, last, &reader)) {
    error = fileName + ":" + std::to_string(state.tokenLine) + ": " + reader.error();
    return false;
  }
  std::vector<Warning> found;
  try {
    buildProject(Item{reader.document(), ""}, project, found);
  } catch (const BuildError& e) {
    error = fileName + ":" + std::to_string(reader.lineOf(e.path)) + ": " + e.what;
    return false;
  } catch (const json::exception& e) {
    error = fileName + ": " + e.what();
    return false;
  }
  if (warnings) {
    for (const Warning& w : found) warnings->push_back(fileName + ":" + std::to_string(reader.lineOf(w.path)) + ": warning: " + w.what);
  }
  return true;
}
