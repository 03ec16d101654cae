#pragma once
// Operators (passive records of ports and connections), connections, and the factory
// registry through which operators are created by type name.
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/Params.h"
#include "engine/Port.h"

struct ColorGroup {
  std::map<int32_t, int32_t> members;  // member number (0..3) -> input index
  std::string name;
};

// One connection, kept by value in the connection list of both its operators. The ids and
// property names are what a production stores; the pointers are filled in on resolving.
struct Connection {
  Operator* sourceOp = nullptr;
  Port* sourcePort = nullptr;  // an output of sourceOp
  Operator* targetOp = nullptr;
  Port* targetPort = nullptr;  // an input of targetOp
  int32_t sourceIndexInTarget = -1;
  int32_t sourceId = 0;
  int32_t targetId = 0;
  std::string sourceProp;
  std::string targetProp;
  // Made by the timeline's graph chain (never stored in a production); removing the chain
  // goes by this mark, so it never has to look at a graph that may be gone already.
  bool chainLink = false;

  void serialize(TreeNodeRef node);  // project loader
};

namespace OperatorFlags {
inline constexpr uint32_t EveryFrame = 0x10;  // evaluated once per frame before drawing
}

enum OperatorCategory : uint32_t {
  CategoryScene = 0,
  CategoryGeometry = 1,
  CategoryImage = 2,
  CategoryFloat = 3,
  CategoryGroup = 4,
};

class Operator {
 public:
  explicit Operator(uint32_t cat = 0) : category(cat) {}
  Operator(const Operator&) = delete;
  Operator& operator=(const Operator&) = delete;
  virtual ~Operator();

  // The port named `portName`, searched among the inputs first, then the outputs.
  Port* findPort(const std::string& portName);
  // Receives a connection by the add-connection rule: on an input without
  // PortFlagMulti a connection to the same port replaces the old one.
  void addConnection(const Connection& c);
  // Removes connection `index` from the list and unlinks its source from its target port.
  void removeConnection(size_t index);

  // Reads or writes this operator from its "operator" node (project loader).
  void serialize(TreeNodeRef node);

  std::vector<Port> inputs;
  std::vector<Port> outputs;
  std::vector<ColorGroup> colorGroups;
  std::vector<Connection> connections;
  int32_t id = -1;
  uint32_t flags = 0;
  std::string type;
  std::string customName;
  float position[2] = {0.0f, 0.0f};
  uint32_t category = 0;
  uint8_t hidden = 0;
  uint8_t childrenHidden = 0;

 protected:
  // Declaration calls, used only by constructors: declare all inputs, then each output
  // followed by linkOutput(); with several outputs finish with numberOutputs(). Ports are
  // referred to by address afterwards, so none may be added after the constructor.
  Port& addFloatInput(const std::string& name, float def, uint32_t flags = 0);
  Port& addImageInput(const std::string& name, uint32_t flags = 0);
  Port& addSceneInput(const std::string& name, uint32_t flags = 0);
  Port& addTextInput(const std::string& name, const std::string& def, uint32_t flags = 0);
  Port& addGenericInput(const std::string& name, uint32_t flags = 0);
  // Appends choice names to the last added input (choice i is chosen by the value i).
  void addChoices(std::initializer_list<const char*> names);
  // Sets the last added input's choice provider (destroying one already there).
  void setChoiceProvider(std::unique_ptr<IEnumDataProvider> provider);
  // Groups the last 3 (RGB) or 4 (RGBA) inputs for colour editing.
  void addColorGroup(const std::string& name, int count);
  // Groups `count` inputs starting at input `first` (for tables declared in one go).
  void addColorGroup(const std::string& name, int first, int count);
  // Declares every row of a parameter table, in order (see engine/Params.h).
  template <size_t N>
  void declareInputs(const ParamDecl (&table)[N]) {
    for (const ParamDecl& d : table) declareInput(d);
  }
  void declareInput(const ParamDecl& d);
  Port& addOutput(const std::string& name, PortType type, std::unique_ptr<Function> fn);
  // The last output added depends on every input, in input order.
  void linkOutput();
  // Stores 0, 1, 2... in the functions of the outputs.
  void numberOutputs();

 private:
  Port& addInput(const std::string& name, PortType type, std::unique_ptr<IValue> holder, uint32_t flags);
};

// ---- factory -------------------------------------------------------------------------

class OperatorFactory {
 public:
  virtual ~OperatorFactory() = default;
  // A new operator, or null when memory cannot be had.
  virtual std::unique_ptr<Operator> create() = 0;
};

template <class T>
class OpSpawner : public OperatorFactory {
 public:
  std::unique_ptr<Operator> create() override {
    try {
      return std::unique_ptr<Operator>(new T());
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
};

// The process-wide map from type name to factory.
//
// How types get in: a static library drops object files nobody references, so global
// registration objects are unreliable. Each subsystem therefore has one explicit list
// function that registers its types, e.g.
//
//     void registerSceneOperators() {
//       static OpSpawner<CameraOp> camera;
//       OperatorRegistry::add("Camera", &camera);
//       ...
//     }
//
// The engine's own list (registerEngineOperators) runs on the registry's first use. The
// player calls the other subsystems' list functions at start-up, before loading (tests
// call the ones they need). Adding a name twice keeps the first factory, so calling a
// list function twice is harmless.
class OperatorRegistry {
 public:
  using Map = std::map<std::string, OperatorFactory*>;
  // Inserts (name, factory) unless the name is present; returns whether it was inserted.
  static bool add(const std::string& name, OperatorFactory* factory);
  static OperatorFactory* find(const std::string& name);
  static const Map& entries();

 private:
  static Map& map();
};

// Registers the float operators and "Graph".
void registerEngineOperators();
