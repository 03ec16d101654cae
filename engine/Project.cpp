#include "engine/Project.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "engine/CrtRand.h"

namespace {
Project* g_currentProject = nullptr;

// The id after `id`. Ids come from the file, so the highest one may be INT32_MAX; the
// successor then wraps to INT32_MIN, as 32-bit arithmetic does, instead of overflowing.
int32_t idAfter(int32_t id) { return static_cast<int32_t>(static_cast<uint32_t>(id) + 1u); }
}  // namespace

Project* currentProject() { return g_currentProject; }
void setCurrentProject(Project* p) { g_currentProject = p; }

// ---- spans and graph ends ---------------------------------------------------------------

float Span::localTime(float t) const {
  switch (timeType) {
    case 0: return t + offsetGlobal;
    case 1: return t - timeStart + offsetSpan;
    default: return t;
  }
}

FinalOutput::FinalOutput() : Operator(CategoryImage) {
  type = "Output";
  flags = 0x1E;
  position[0] = 2.0f;
  position[1] = 2.0f;
  addGenericInput("In");
  addOutput("Output", PortType::Generic, std::make_unique<FinalOutputFunction>());
  linkOutput();
}

void FinalOutput::FinalOutputFunction::evaluate(float t, const std::vector<Port*>& sources, Context& ctx) {
  if (active_) return;
  active_ = true;
  for (Port* p : sources) p->evaluate(t, ctx);
  active_ = false;
}

FinalInput::FinalInput() : Operator(CategoryImage) {
  type = "Input";
  flags = 0x0C;
  addGenericInput("In");
  addOutput("Input", PortType::Generic, std::make_unique<ValueFunction>(std::make_unique<Generic>()));
  linkOutput();
}

// ---- graphs ---------------------------------------------------------------------------------

OperatorGraph::OperatorGraph() {
  const auto now = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  const uint32_t mixed = static_cast<uint32_t>(now) ^ static_cast<uint32_t>(now >> 32);
  id = static_cast<int32_t>(static_cast<uint32_t>(crtRand() % 255) + mixed);
}

Operator* OperatorGraph::createOperator(const std::string& typeName) {
  // The running maximum keeps creation O(1). Ids are usually set by hand right after
  // creation (create, set id, create...), so the last operator's id is folded in too.
  if (!operators.empty()) highestId_ = std::max(highestId_, operators.back()->id);
  if (idAfter(highestId_) > nextId) nextId = idAfter(highestId_);
  OperatorFactory* factory = OperatorRegistry::find(typeName);
  if (!factory) return nullptr;
  std::unique_ptr<Operator> op = factory->create();
  if (!op) return nullptr;
  op->type = typeName;
  op->id = nextId;
  nextId = idAfter(nextId);
  highestId_ = std::max(highestId_, op->id);
  operators.push_back(std::move(op));
  return operators.back().get();
}

bool OperatorGraph::createGraphEnds() {
  if (nextId != 0) return false;
  auto out = std::make_unique<FinalOutput>();
  out->id = 0;
  auto in = std::make_unique<FinalInput>();
  in->id = 1;
  operators.push_back(std::move(out));
  operators.push_back(std::move(in));
  nextId = 2;
  highestId_ = std::max(highestId_, 1);
  return true;
}

void OperatorGraph::refreshNextId() {
  int32_t highest = -1;
  for (const auto& op : operators) highest = std::max(highest, op->id);
  highestId_ = highest;
  nextId = idAfter(highest);
}

void OperatorGraph::clearOperators() {
  operators.clear();
  nextId = 0;
  highestId_ = -1;
}

FinalOutput* OperatorGraph::finalOutput() const {
  return operators.empty() ? nullptr : dynamic_cast<FinalOutput*>(operators[0].get());
}

FinalInput* OperatorGraph::finalInput() const {
  return operators.size() < 2 ? nullptr : dynamic_cast<FinalInput*>(operators[1].get());
}

Operator* OperatorGraph::findOperator(int32_t opId) const {
  for (const auto& op : operators)
    if (op->id == opId) return op.get();
  return nullptr;
}

bool OperatorGraph::connect(Operator& source, const std::string& sourcePort, Operator& target,
                            const std::string& targetPort) {
  Port* sp = source.findPort(sourcePort);
  Port* tp = target.findPort(targetPort);
  if (!sp || !tp) return false;
  Connection c;
  c.sourceOp = &source;
  c.sourcePort = sp;
  c.targetOp = &target;
  c.targetPort = tp;
  c.sourceId = source.id;
  c.targetId = target.id;
  c.sourceProp = sourcePort;
  c.targetProp = targetPort;
  target.addConnection(c);
  if (&source != &target) source.addConnection(c);
  return true;
}

// ---- project --------------------------------------------------------------------------------

Project::Project() {
  if (tracks.empty()) tracks.resize(kTrackCount);
  auto g = std::make_unique<OperatorGraph>();
  g->name = "default";
  g->createGraphEnds();
  auto span = std::make_unique<Span>();
  span->name = "main";
  span->timeStart = 0.0f;
  span->timeEnd = 60.0f;
  span->graphId = g->id;
  span->upstreamLinkType = 2;
  tracks[0].spans.push_back(std::move(span));
  graphs.push_back(std::move(g));
}

Project::~Project() {
  if (g_currentProject == this) g_currentProject = nullptr;
}

void Project::clear() {
  removeGraphChain();
  graphs.clear();
  for (Track& tr : tracks) tr.spans.clear();
}

OperatorGraph* Project::findGraph(int32_t graphId) const {
  for (const auto& g : graphs)
    if (g->id == graphId) return g.get();
  return nullptr;
}

void Project::removeGraphChain() {
  // Only the chain connects the ends of two different graphs. Connections between the two
  // ends of one graph (a graph passing the picture below straight through) come from the
  // production and stay.
  for (const auto& g : graphs) {
    for (size_t e = 0; e < 2 && e < g->operators.size(); ++e) {
      Operator* x = g->operators[e].get();
      for (size_t i = 0; i < x->connections.size();) {
        if (x->connections[i].chainLink)
          x->removeConnection(i);
        else
          ++i;
      }
    }
  }
}

void Project::buildGraphChain(float t) {
  chain_.clear();
  for (const Track& tr : tracks) {
    for (const auto& span : tr.spans) {
      if (!span->covers(t)) continue;
      OperatorGraph* g = findGraph(span->graphId);
      if (!g || !g->finalOutput() || !g->finalInput()) continue;
      if (std::find(chain_.begin(), chain_.end(), g) == chain_.end()) chain_.push_back(g);
    }
  }
  for (size_t i = 0; i + 1 < chain_.size(); ++i) {
    FinalOutput* below = chain_[i + 1]->finalOutput();
    FinalInput* above = chain_[i]->finalInput();
    Connection c;
    c.sourceOp = below;
    c.sourcePort = &below->outputs[0];
    c.targetOp = above;
    c.targetPort = &above->inputs[0];
    c.sourceId = below->id;
    c.targetId = above->id;
    c.chainLink = true;
    above->addConnection(c);
    below->addConnection(c);
  }
}

void Project::collectActive(float t, std::vector<Active>& out) const {
  out.clear();
  for (const Track& tr : tracks) {
    for (const auto& span : tr.spans) {
      if (!span->covers(t)) continue;
      OperatorGraph* g = findGraph(span->graphId);
      if (!g || !g->finalOutput()) continue;  // a span naming no graph is ignored
      bool seen = false;
      for (const Active& a : out) seen = seen || a.graph == g;
      if (!seen) out.push_back({g, span.get()});
    }
  }
}

bool Project::consumedFromAbove(const OperatorGraph& g) {
  const Operator* out = g.operators[0].get();
  for (const Connection& c : out->connections) {
    if (!c.targetOp || !c.sourceOp || c.targetOp->type != "Input" || c.sourceOp->type != "Output") continue;
    const Operator* in = c.targetOp;
    for (const Connection& inner : in->connections)
      if (inner.sourceOp == in) return true;
  }
  return false;
}

void Project::prepareFrameStorage() {
  const size_t n = graphs.size();
  chain_.reserve(n);
  listA_.reserve(n);
  listB_.reserve(n);
  // Each graph end takes part in at most one chain connection.
  for (const auto& g : graphs) {
    for (size_t e = 0; e < 2 && e < g->operators.size(); ++e) {
      Operator& end = *g->operators[e];
      end.connections.reserve(end.connections.size() + 1);
      for (Port& in : end.inputs) {
        in.sources.reserve(in.sources.size() + 1);
        in.sourceOrder.reserve(in.sourceOrder.size() + 1);
      }
    }
  }
}

FinalOutput* Project::evaluate(float& t, Context& ctx) {
  setCurrentProject(this);
  removeGraphChain();
  prepareFrameStorage();
  buildGraphChain(t);
  const float demoTime = t;

  collectActive(demoTime, listA_);
  listB_.clear();
  for (const Active& a : listA_)
    if (listB_.empty() || !consumedFromAbove(*a.graph)) listB_.push_back(a);

  // Operators that run once per frame, before any graph is drawn.
  const Viewport saved = ctx.viewport;
  bool ranPerFrame = false;
  for (size_t i = listA_.size(); i-- > 0;) {
    const Active& a = listA_[i];
    const float local = a.span->localTime(demoTime);
    auto& ops = a.graph->operators;
    for (size_t k = 2; k < ops.size(); ++k) {
      Operator& op = *ops[k];
      if (!(op.flags & OperatorFlags::EveryFrame) || op.outputs.empty()) continue;
      op.outputs[0].evaluate(local, ctx);
      ctx.viewport = saved;
      ranPerFrame = true;
    }
  }
  if (ranPerFrame) ctx.beginFrame(ctx.screenWidth(), ctx.screenHeight(), true, false);

  // Graphs not consumed from above, bottom first; the top graph last.
  FinalOutput* result = nullptr;
  for (size_t i = listB_.size(); i-- > 0;) {
    const Active& b = listB_[i];
    FinalOutput* out = b.graph->finalOutput();
    const float local = b.span->localTime(demoTime);
    Port& drawn = out->outputs[0];
    if (i != 0) {
      if (drawn.sources.size() > 1 || b.span->upstreamLinkType == 0) continue;
      drawn.evaluate(local, ctx);
      ctx.beginFrame(ctx.screenWidth(), ctx.screenHeight(), true, false);
    } else {
      t = local;
      drawn.evaluate(local, ctx);
      result = out;
    }
  }
  return result;
}

size_t warmUp(Project& project, Context& ctx, const WarmUpCallback& afterEach) {
  setCurrentProject(&project);
  size_t total = 0;
  for (const auto& g : project.graphs) total += g->operators.size();
  size_t k = 0;
  for (const auto& g : project.graphs) {
    for (size_t i = 0; i < g->operators.size(); ++i) {
      Operator& op = *g->operators[i];
      if (!op.outputs.empty()) op.outputs[0].evaluate(-10.0f, ctx);
      ++k;
      if (afterEach) afterEach(op, k, total);
    }
  }
  return k;
}
