#include "engine/GraphOp.h"

#include <bit>

#include "engine/Project.h"

namespace {

// The choices of "Graph ID": one entry per graph of the current project, in project order
// (graph name, graph id).
class GraphEnumDataProvider : public IEnumDataProvider {
 public:
  std::vector<EnumEntry> getEntries() override {
    std::vector<EnumEntry> entries;
    if (Project* p = currentProject()) {
      entries.reserve(p->graphs.size());
      for (const auto& g : p->graphs) entries.push_back({g->name, g->id});
    }
    return entries;
  }
};

}  // namespace

GraphOp::GraphOp() : Operator(CategoryGroup) {
  addFloatInput("Graph ID", -1.0f, PortFlagEnum);
  setChoiceProvider(std::make_unique<GraphEnumDataProvider>());
  addFloatInput("Time Offset", 0.0f);
  addOutput("Output", PortType::Generic, std::make_unique<GraphFunction>(this));
  linkOutput();
}

void GraphOp::GraphFunction::evaluate(float t, const std::vector<Port*>& sources, Context& ctx) {
  // The parameter holds the graph id's bits, not its value.
  const int32_t graphId = std::bit_cast<int32_t>(evalFloat(sources, 0, t, ctx));
  const float offset = evalFloat(sources, 1, t, ctx);
  Project* project = currentProject();
  if (!project) return;
  OperatorGraph* graph = project->findGraph(graphId);
  if (!graph || graph->operators.empty()) return;
  // Embedding a graph in itself is cut off by its FinalOutput, which does not re-enter
  // while it is being drawn.
  for (Port& out : graph->operators[0]->outputs) out.evaluate(t + offset, ctx);
}
