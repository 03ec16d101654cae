#include "project/ProjectLoader.h"

#include <cstdint>
#include <unordered_map>

#include "engine/Curve.h"

// ---- ports and connections -----------------------------------------------------------------

void Port::serialize(TreeNodeRef node) {
  if (!source || !source->value()) return;
  if (!node.writing && child(node, "track").node && sources.empty() && !curve) {
    // An animated parameter: the curve takes over the holder (and with it the constant).
    if (auto* old = dynamic_cast<ValueFunction*>(source.get())) {
      auto fn = std::make_unique<CurveFunction>(std::move(old->holder));
      curve = fn.get();
      source = std::move(fn);
    }
  }
  source->serialize(node, name.c_str());
}

void Connection::serialize(TreeNodeRef node) {
  if (!node.writing) {
    serializeInt(node, "source", sourceId);
    serializeString(node, "sourceProp", sourceProp);
    serializeInt(node, "target", targetId);
    serializeString(node, "targetProp", targetProp);
    serializeInt(node, "sourceIndexInTarget", sourceIndexInTarget);
    return;
  }
  // Written from the live objects where they are known, from the stored record otherwise.
  int32_t src = sourceOp ? sourceOp->id : sourceId;
  int32_t tgt = targetOp ? targetOp->id : targetId;
  std::string srcProp = sourcePort ? sourcePort->name : sourceProp;
  std::string tgtProp = targetPort ? targetPort->name : targetProp;
  int32_t index = sourceIndexInTarget;
  if (sourcePort && targetPort) {
    const int32_t pos = targetPort->sourcePosition(sourcePort);
    if (pos >= 0) index = pos;
  }
  serializeInt(node, "source", src);
  serializeString(node, "sourceProp", srcProp);
  serializeInt(node, "target", tgt);
  serializeString(node, "targetProp", tgtProp);
  serializeInt(node, "sourceIndexInTarget", index);
}

// ---- operators ----------------------------------------------------------------------------------

void Operator::serialize(TreeNodeRef node) {
  serializeInt(node, "id", id);
  serializeString(node, "type", type);
  serializeVec2(node, "pos", position);
  serializeInt(node, "hidden", hidden);
  serializeInt(node, "childrenHidden", childrenHidden);
  serializeString(node, "customName", customName);

  // Parameters are stored by their position among the ports that hold a value.
  uint32_t k = 0;
  for (Port& p : inputs) {
    if (!p.source || !p.source->value()) continue;
    TreeNodeRef c = child(node, "input", k++);
    if (c.node) p.serialize(c);
  }
  k = 0;
  for (Port& p : outputs) {
    if (!p.source || !p.source->value()) continue;
    TreeNodeRef c = child(node, "output", k++);
    if (c.node) p.serialize(c);
  }

  if (node.writing) {
    // The timeline's graph chain is rebuilt every frame and never stored.
    uint32_t stored = 0;
    for (Connection& c : connections)
      if (!c.chainLink) c.serialize(child(node, "connection", stored++));
    return;
  }
  connections.clear();
  connections.resize(countChildren(node, "connection"));
  for (size_t i = 0; i < connections.size(); ++i)
    connections[i].serialize(child(node, "connection", static_cast<uint32_t>(i)));
}

// ---- resolving connections ------------------------------------------------------------------

namespace {

// Which operator of a graph holds an id (the first one in graph order).
using OperatorIndex = std::unordered_map<int32_t, Operator*>;

OperatorIndex indexOperators(const OperatorGraph& graph) {
  OperatorIndex index;
  index.reserve(graph.operators.size());
  for (const auto& op : graph.operators) index.emplace(op->id, op.get());  // first one wins
  return index;
}

// Resolves the ids and port names of op's connections into pointers and links the ports,
// each source with its stored index. Unresolvable connections stay unlinked.
void resolveConnections(Operator& op, const OperatorIndex& index) {
  for (Connection& c : op.connections) {
    auto s = index.find(c.sourceId);
    auto t = index.find(c.targetId);
    Port* sp = s == index.end() ? nullptr : s->second->findPort(c.sourceProp);
    Port* tp = t == index.end() ? nullptr : t->second->findPort(c.targetProp);
    if (!sp || !tp) {
      // Unknown id or port name: the connection stays in the list, unlinked.
      c.sourceOp = c.targetOp = nullptr;
      c.sourcePort = c.targetPort = nullptr;
      continue;
    }
    c.sourceOp = s->second;
    c.sourcePort = sp;
    c.targetOp = t->second;
    c.targetPort = tp;
    if (tp->sourcePosition(sp) >= 0) {
      if (c.sourceIndexInTarget != -1)
        for (SourceOrder& o : tp->sourceOrder)
          if (o.port == sp) o.index = c.sourceIndexInTarget;
    } else {
      const int32_t idx = c.sourceIndexInTarget == -1 ? static_cast<int32_t>(tp->sources.size()) : c.sourceIndexInTarget;
      tp->link(sp, idx);
    }
  }
}

}  // namespace

// ---- graphs ---------------------------------------------------------------------------------------

void OperatorGraph::serialize(TreeNodeRef node) {
  serializeInt(node, "id", id);
  serializeString(node, "name", name);

  if (node.writing) {
    for (size_t k = 0; k < operators.size(); ++k)
      operators[k]->serialize(child(node, "operator", static_cast<uint32_t>(k)));
    return;
  }

  clearOperators();
  createGraphEnds();
  const uint32_t n = countChildren(node, "operator");
  // Each operator is read from its own node. The two ends take the first nodes of type
  // "Output" and "Input" (a production lists them first); an unknown type creates nothing
  // and does not shift the operators after it onto the wrong nodes.
  std::vector<std::pair<Operator*, uint32_t>> reads;
  reads.reserve(n + 2);
  bool haveOut = false, haveIn = false;
  for (uint32_t k = 0; k < n; ++k) {
    std::string typeName;
    serializeString(child(node, "operator", k), "type", typeName);
    if (typeName == "Output" && !haveOut) {
      reads.emplace_back(operators[0].get(), k);
      haveOut = true;
    } else if (typeName == "Input" && !haveIn) {
      reads.emplace_back(operators[1].get(), k);
      haveIn = true;
    } else if (Operator* op = createOperator(typeName)) {
      reads.emplace_back(op, k);
    }
  }
  for (auto& [op, k] : reads) {
    op->serialize(child(node, "operator", k));
    // The ends keep their own type whatever the node says.
    if (op == operators[0].get()) op->type = "Output";
    if (op == operators[1].get()) op->type = "Input";
  }

  const OperatorIndex index = indexOperators(*this);
  for (auto& op : operators) resolveConnections(*op, index);
  // A connection stands in the lists of both its operators, and one listed only by its
  // source is linked after its target's own list; order the inputs once everything is linked.
  for (auto& op : operators)
    for (Port& p : op->inputs) p.sortSources();
  refreshNextId();
}

// ---- spans and project --------------------------------------------------------------------------

void Span::serialize(TreeNodeRef node) {
  serializeFloat(node, "timeStart", timeStart);
  serializeFloat(node, "timeEnd", timeEnd);
  serializeInt(node, "graphId", graphId);
  serializeInt(node, "upstreamLinkType", upstreamLinkType);
  // A production's stored time type is read and dropped: loaded spans always use
  // t + offsetGlobal, which is what the productions were timed against.
  uint32_t storedTimeType = timeType;
  serializeInt(node, "timeType", storedTimeType);
  serializeFloat(node, "offsetGlobal", offsetGlobal);
  serializeFloat(node, "offsetSpan", offsetSpan);
  serializeString(node, "name", name);
}

void Project::serialize(TreeNodeRef root) {
  removeGraphChain();
  if (tracks.size() < kTrackCount) tracks.resize(kTrackCount);

  if (root.writing) {
    for (size_t i = 0; i < graphs.size(); ++i) graphs[i]->serialize(child(root, "graph", static_cast<uint32_t>(i)));
    for (size_t i = 0; i < kTrackCount; ++i) {
      TreeNodeRef tr = child(root, "track", static_cast<uint32_t>(i));
      const auto& spans = tracks[i].spans;
      for (size_t k = 0; k < spans.size(); ++k) spans[k]->serialize(child(tr, "trackSpan", static_cast<uint32_t>(k)));
    }
    serializeString(root, "MusicPath", musicPath);
    return;
  }

  clear();
  const uint32_t n = countChildren(root, "graph");
  for (uint32_t i = 0; i < n; ++i) graphs.push_back(std::make_unique<OperatorGraph>());
  for (uint32_t i = 0; i < n; ++i) graphs[i]->serialize(child(root, "graph", i));
  for (size_t i = 0; i < kTrackCount; ++i) {
    TreeNodeRef tr = child(root, "track", static_cast<uint32_t>(i));
    const uint32_t count = countChildren(tr, "trackSpan");
    auto& spans = tracks[i].spans;
    for (uint32_t k = 0; k < count; ++k) spans.push_back(std::make_unique<Span>());
    for (uint32_t k = 0; k < count; ++k) spans[k]->serialize(child(tr, "trackSpan", k));
  }
  serializeString(root, "MusicPath", musicPath);
}

// ---- files ---------------------------------------------------------------------------------------

std::string ignoredContentWarnings(const TreeNode& root, const std::string& path) {
  std::string text;
  // Children are ordered by name, then index: the tracks past the last one read follow it.
  const TreeNode::KeyRef lastTrack{"track", UINT32_MAX};
  for (auto it = root.children.lower_bound(TreeNode::KeyRef{"track", Project::kTrackCount});
       it != root.children.end() && !TreeNode::KeyLess{}(lastTrack, it->first); ++it) {
    if (!it->second->findChild("trackSpan", 0)) continue;
    if (!text.empty()) text += '\n';
    text += path + ": track " + std::to_string(it->first.index) + " holds spans, but a production has tracks 0 to " +
            std::to_string(Project::kTrackCount - 1) + " only; they are left out";
  }
  return text;
}

bool loadProjectFile(const std::string& path, Project& project, std::string* error) {
  TreeFile tree;
  bool opened = false;
  std::string readError;
  const bool complete = tree.readFile(path, &readError, &opened);
  if (!opened) {
    if (error) *error = readError;
    return false;
  }
  project.serialize(TreeNodeRef{&tree.root(), false});
  const std::string ignored = ignoredContentWarnings(tree.root(), path);
  if (error) *error = readError + (!readError.empty() && !ignored.empty() ? "\n" : "") + ignored;
  return complete && ignored.empty();
}

bool saveProjectFile(const std::string& path, Project& project, std::string* error) {
  TreeFile tree;
  project.serialize(TreeNodeRef{&tree.root(), true});
  return tree.writeFile(path, error);
}
