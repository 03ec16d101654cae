#include "engine/Operator.h"

#include <string_view>
#include <utility>

Operator::~Operator() = default;

Port* Operator::findPort(const std::string& portName) {
  for (Port& p : inputs)
    if (p.name == portName) return &p;
  for (Port& p : outputs)
    if (p.name == portName) return &p;
  return nullptr;
}

void Operator::addConnection(const Connection& c) {
  Port* target = c.targetPort;
  if (target && !(target->flags & PortFlagMulti)) {
    for (Connection& old : connections) {
      if (old.targetPort != target || !old.targetOp) continue;
      // A single-connection input: the new source replaces the old one in place.
      Operator* oldSource = old.sourceOp;
      if (oldSource && oldSource != this) {
        for (size_t i = 0; i < oldSource->connections.size(); ++i) {
          const Connection& o = oldSource->connections[i];
          if (o.targetPort == target && o.sourcePort == old.sourcePort) {
            oldSource->removeConnection(i);
            break;
          }
        }
      }
      old.sourceOp = c.sourceOp;
      old.sourcePort = c.sourcePort;
      old.chainLink = c.chainLink;
      target->sources.clear();
      target->sourceOrder.clear();
      if (c.sourcePort) target->link(c.sourcePort, c.sourceIndexInTarget == -1 ? 0 : c.sourceIndexInTarget);
      return;
    }
  }
  if (target && c.sourcePort) {
    int32_t index = c.sourceIndexInTarget == -1 ? static_cast<int32_t>(target->sources.size()) : c.sourceIndexInTarget;
    target->link(c.sourcePort, index);
  }
  connections.push_back(c);
}

void Operator::removeConnection(size_t index) {
  if (index >= connections.size()) return;
  Connection& c = connections[index];
  if (c.targetPort && c.sourcePort) c.targetPort->unlink(c.sourcePort);
  connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(index));
}

Port& Operator::addInput(const std::string& name, PortType type, std::unique_ptr<IValue> holder, uint32_t portFlags) {
  const Port* before = inputs.data();
  Port& p = inputs.emplace_back();
  if (inputs.data() != before) {
    // An input declared after an output was linked moved the inputs: point the outputs at
    // the moved ports again (an output's source order holds each input's position).
    for (Port& out : outputs)
      for (size_t k = 0; k < out.sources.size() && k < out.sourceOrder.size(); ++k) {
        Port* moved = &inputs[static_cast<size_t>(out.sourceOrder[k].index)];
        out.sources[k] = moved;
        out.sourceOrder[k].port = moved;
      }
  }
  p.type = type;
  p.source = std::make_unique<ValueFunction>(std::move(holder));
  p.name = name;
  p.flags = portFlags;
  p.owner = this;
  return p;
}

Port& Operator::addFloatInput(const std::string& name, float def, uint32_t portFlags) {
  return addInput(name, PortType::Float, std::make_unique<Float>(def), portFlags);
}

Port& Operator::addImageInput(const std::string& name, uint32_t portFlags) {
  return addInput(name, PortType::Image, std::make_unique<Image>(), portFlags);
}

Port& Operator::addSceneInput(const std::string& name, uint32_t portFlags) {
  return addInput(name, PortType::Scene, std::make_unique<Scene>(), portFlags);
}

Port& Operator::addTextInput(const std::string& name, const std::string& def, uint32_t portFlags) {
  return addInput(name, PortType::Text, std::make_unique<Text>(def), portFlags);
}

Port& Operator::addGenericInput(const std::string& name, uint32_t portFlags) {
  return addInput(name, PortType::Generic, std::make_unique<Generic>(), portFlags);
}

void Operator::addChoices(std::initializer_list<const char*> names) {
  if (inputs.empty()) return;
  for (const char* n : names) inputs.back().choices.emplace_back(n);
}

void Operator::setChoiceProvider(std::unique_ptr<IEnumDataProvider> provider) {
  if (inputs.empty()) return;
  inputs.back().choiceProvider = std::move(provider);
}

void Operator::addColorGroup(const std::string& name, int count) {
  if (count < 0 || inputs.size() < static_cast<size_t>(count)) return;
  ColorGroup g;
  g.name = name;
  int32_t first = static_cast<int32_t>(inputs.size()) - count;
  for (int32_t m = 0; m < count; ++m) g.members[m] = first + m;
  colorGroups.push_back(std::move(g));
}

void Operator::addColorGroup(const std::string& name, int first, int count) {
  if (first < 0 || count < 0 || static_cast<size_t>(first) + static_cast<size_t>(count) > inputs.size()) return;
  ColorGroup g;
  g.name = name;
  for (int32_t m = 0; m < count; ++m) g.members[m] = first + m;
  colorGroups.push_back(std::move(g));
}

void Operator::declareInput(const ParamDecl& d) {
  switch (d.type) {
    case PortType::Float: addFloatInput(d.name, d.def, d.flags); break;
    case PortType::Text: addTextInput(d.name, d.text ? d.text : "", d.flags); break;
    case PortType::Scene: addSceneInput(d.name, d.flags); break;
    case PortType::Image: addImageInput(d.name, d.flags); break;
    case PortType::Generic: addGenericInput(d.name, d.flags); break;
  }
  if (!d.choices) return;
  std::string_view rest(d.choices);
  while (true) {
    size_t bar = rest.find('|');
    inputs.back().choices.emplace_back(rest.substr(0, bar));
    if (bar == std::string_view::npos) break;
    rest.remove_prefix(bar + 1);
  }
}

Port& Operator::addOutput(const std::string& name, PortType type, std::unique_ptr<Function> fn) {
  Port& p = outputs.emplace_back();
  p.type = type;
  p.source = std::move(fn);
  p.name = name;
  p.owner = this;
  return p;
}

void Operator::linkOutput() {
  if (outputs.empty()) return;
  Port& out = outputs.back();
  for (size_t i = 0; i < inputs.size(); ++i) out.link(&inputs[i], static_cast<int32_t>(i));
}

void Operator::numberOutputs() {
  for (size_t i = 0; i < outputs.size(); ++i)
    if (outputs[i].source) outputs[i].source->outputIndex = static_cast<uint32_t>(i);
}
