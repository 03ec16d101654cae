#pragma once
// Graphs, tracks and the timeline: what is drawn at which time.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Operator.h"

class OperatorGraph;

// Shows one graph from timeStart (inclusive) to timeEnd (exclusive).
struct Span {
  float timeStart = 0.0f;
  float timeEnd = 1.0f;
  int32_t graphId = 0;
  uint32_t upstreamLinkType = 0;  // below the top graph: 0 not drawn, other values drawn
  uint32_t timeType = 0;          // local time: 0 t + offsetGlobal, 1 t - timeStart + offsetSpan
  float offsetGlobal = 0.0f;
  float offsetSpan = 0.0f;
  std::string name;

  bool covers(float t) const { return timeStart <= t && t < timeEnd; }
  float localTime(float t) const;
  void serialize(TreeNodeRef node);  // project loader
};

struct Track {
  std::vector<std::unique_ptr<Span>> spans;
};

// The graph end whose input "In" receives what the graph draws.
class FinalOutput : public Operator {
 public:
  FinalOutput();
  class FinalOutputFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

   private:
    // Set while the graph is drawn. This function evaluates every port linked to its
    // output, and a production may link the output to itself (a connection's target is
    // looked up among the outputs too); a re-entered end draws nothing instead of
    // recursing until the stack overflows.
    bool active_ = false;
  };
};

// The graph end that hands the picture of the graph below to operators inside the graph.
class FinalInput : public Operator {
 public:
  FinalInput();
};

class OperatorGraph {
 public:
  // A new graph gets a pseudo-random id; loading replaces it.
  OperatorGraph();
  OperatorGraph(const OperatorGraph&) = delete;
  OperatorGraph& operator=(const OperatorGraph&) = delete;

  // Creates a registered operator with the next id (raised first past the highest id in
  // the graph) and appends it; null for unknown names. The highest id is a running
  // maximum that sees ids given by this graph, the last operator's id and refreshNextId();
  // after changing other operators' ids by hand, call refreshNextId().
  Operator* createOperator(const std::string& typeName);
  // Appends FinalOutput (id 0) and FinalInput (id 1); only on a graph with next id 0.
  bool createGraphEnds();
  // Sets next id to one more than the highest operator id (0 without operators). Call it
  // after changing operator ids by hand.
  void refreshNextId();
  // Destroys all operators and resets next id to 0.
  void clearOperators();

  FinalOutput* finalOutput() const;
  FinalInput* finalInput() const;
  // The first operator with this id, by linear search.
  Operator* findOperator(int32_t opId) const;

  // Connects `sourcePort` (an output of source) to `targetPort` (an input of target), both
  // operators of this graph, by the add-connection rule. False when a port is missing.
  bool connect(Operator& source, const std::string& sourcePort, Operator& target,
               const std::string& targetPort);

  void serialize(TreeNodeRef node);  // project loader

  std::vector<std::unique_ptr<Operator>> operators;  // [0] FinalOutput, [1] FinalInput, ...
  int32_t nextId = 0;
  int32_t id = 0;
  std::string name;

 private:
  int32_t highestId_ = -1;  // running maximum, so creating n operators stays O(n)
};

class Project {
 public:
  static constexpr size_t kTrackCount = 16;

  // The default project: 16 empty tracks, one graph "default" shown by span "main" on
  // track 0 from 0 to 60 s.
  Project();
  Project(const Project&) = delete;
  Project& operator=(const Project&) = delete;
  ~Project();

  // Draws the timeline at demo time t. Returns the top graph's FinalOutput (its picture
  // is the frame) or null when nothing is shown; t then holds the top graph's local time.
  FinalOutput* evaluate(float& t, Context& ctx);

  // The graph chain links each active graph's FinalInput to the FinalOutput of the active
  // graph below it; it is rebuilt every frame.
  void removeGraphChain();
  void buildGraphChain(float t);

  OperatorGraph* findGraph(int32_t graphId) const;
  // Removes every graph and span (the tracks stay) after removing the graph chain.
  void clear();

  void serialize(TreeNodeRef root);  // project loader

  std::vector<Track> tracks;
  std::vector<std::unique_ptr<OperatorGraph>> graphs;
  std::string musicPath;

 private:
  struct Active {
    OperatorGraph* graph;
    const Span* span;
  };
  void collectActive(float t, std::vector<Active>& out) const;
  static bool consumedFromAbove(const OperatorGraph& g);
  // Reserves what the per-frame lists and the graph chain can ever need, so frames after
  // the first allocate nothing, even when spans start and stop. Run with the chain removed;
  // once the room is there it only checks capacities.
  void prepareFrameStorage();

  // Per-frame scratch lists, kept to reuse their storage from frame to frame.
  std::vector<OperatorGraph*> chain_;
  std::vector<Active> listA_;
  std::vector<Active> listB_;
};

// The project being evaluated or loaded (for graph lookups by GraphOp and the graph
// choice provider). Cleared when that project is destroyed.
Project* currentProject();
void setCurrentProject(Project* p);

// The loading warm-up: evaluates the first output of every operator of every graph, in
// order, once at t = -10, so functions create their resources before playback. After each
// operator `afterEach(op, k, total)` runs with k counting from 1 (the player draws its
// progress bar and releases pooled targets there). Returns the number of operators.
using WarmUpCallback = std::function<void(Operator& op, size_t k, size_t total)>;
size_t warmUp(Project& project, Context& ctx, const WarmUpCallback& afterEach = {});
