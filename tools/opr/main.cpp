// opr: the production tool. Evaluates the float outputs and the timeline of a production
// file, prints its tree, and builds production files from their JSON source.
#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <limits>
#include <locale.h>
#include <stdlib.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Context.h"
#include "engine/Curve.h"
#include "engine/Operator.h"
#include "engine/Project.h"
#include "image/Operators.h"
#include "project/ProjectLoader.h"
#include "treefile/TreeFile.h"
#include "scene/Operators.h"
#include "sim/Operators.h"
#include "tools/opr/JsonProduction.h"
#include "tools/opr/OutputFile.h"
#include "tools/opr/Types.h"

namespace {

constexpr const char* kUsage =
    "usage: opr eval FILE T1 [T2 ...]      print every float output of every operator at each time\n"
    "       opr eval FILE T1 [T2 ...] --operator ID [--graph G]\n"
    "                                      print every input of that operator at each time\n"
    "       opr timeline FILE T1 [T2 ...]  print the top graph and its local time at each time\n"
    "       opr dump FILE                  print the file's tree\n"
    "       opr build SOURCE.json -o OUT   build a production file from its JSON source\n"
    "       opr check SOURCE.json          check a JSON source (errors and warnings) and build nothing\n"
    "       opr types [--markdown] [NAME]  print every operator type (or NAME) with its inputs and outputs\n"
    "FILE is a production file or a JSON source.\n";

int usage(const char* why = nullptr) {
  if (why) std::fprintf(stderr, "opr: %s\n", why);
  std::fputs(kUsage, stderr);
  return 2;
}

// A time on the command line: a decimal number ("1", "-2.5", "1e3"), nothing else (no
// hexadecimal, no blanks, no inf or nan), as in the JSON source. False, with `why`, otherwise.
bool parseTime(const char* s, float& out, std::string& why) {
  const std::string text = s;
  size_t i = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  size_t digits = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  }
  if (digits > 0 && i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t k = i + 1;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) ++k;
    const size_t start = k;
    while (k < text.size() && std::isdigit(static_cast<unsigned char>(text[k]))) ++k;
    if (k > start) i = k;
  }
  if (digits == 0 || i != text.size()) {
    why = "the time \"" + text + "\" is not a decimal number";
    return false;
  }
  // Converted in the C locale whatever the process locale is.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  const double d = strtod_l(text.c_str(), nullptr, cLocale);
  if (!std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max()) {
    why = "the time \"" + text + "\" is too large for a float";
    return false;
  }
  out = static_cast<float>(d);
  const std::string mantissa = text.substr(0, text.find_first_of("eE"));
  if (out == 0.0f && mantissa.find_first_of("123456789") != std::string::npos) {
    why = "the time \"" + text + "\" is too small for a float (write 0 for zero)";
    return false;
  }
  return true;
}

bool parseTimes(int argc, char** argv, int first, std::vector<float>& times, std::string& why) {
  for (int i = first; i < argc; ++i) {
    float t = 0;
    if (!parseTime(argv[i], t, why)) return false;
    times.push_back(t);
  }
  return !times.empty();
}

// Opens and reads the tree file as the player does. False (after a message) only when the
// file cannot be opened; a damaged file yields the part that could be read.
bool readTree(const std::string& path, TreeFile& tree) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    std::fprintf(stderr, "opr: cannot read %s: it is a folder\n", path.c_str());
    return false;
  }
  std::string error;
  bool opened = false;
  if (!tree.readFile(path, &error, &opened)) std::fprintf(stderr, "opr: %s%s\n", opened ? "warning: " : "", error.c_str());
  return opened;
}

// The player's loading: read the tree, then map it onto the project whatever read said.
bool loadProduction(const std::string& path, Project& project) {
  TreeFile tree;
  if (!readTree(path, tree)) return false;
  setCurrentProject(&project);
  project.serialize(TreeNodeRef{&tree.root(), false});
  const std::string ignored = ignoredContentWarnings(tree.root(), path);
  if (!ignored.empty()) std::fprintf(stderr, "opr: warning: %s\n", ignored.c_str());
  return true;
}

bool readText(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  if (!in || std::filesystem::is_directory(path, ec)) {
    std::fprintf(stderr, "opr: cannot open %s\n", path.c_str());
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  text = s.str();
  return true;
}

// A JSON source: named so, or starting with an object (a production file starts with its
// binary magic number).
bool isJsonSource(const std::string& path) {
  if (path.size() >= 5 && path.compare(path.size() - 5, 5, ".json") == 0) return true;
  std::ifstream in(path, std::ios::binary);
  char c = 0;
  while (in.get(c) && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
  }
  return in && c == '{';
}

// Builds the project from a JSON source; errors and, when asked, warnings on standard error.
bool buildFromSource(const std::string& path, Project& project, bool showWarnings, bool* warned = nullptr) {
  std::string text;
  if (!readText(path, text)) return false;
  setCurrentProject(&project);
  std::string error;
  std::vector<std::string> warnings;
  if (!buildProjectFromJson(text, path, project, error, &warnings)) {
    std::fprintf(stderr, "opr: %s\n", error.c_str());
    return false;
  }
  if (showWarnings) {
    for (const std::string& w : warnings) std::fprintf(stderr, "opr: %s\n", w.c_str());
  }
  if (warned) *warned = !warnings.empty();
  return true;
}

// Number inputs fed by anything but a number output would, when evaluated, draw that
// operator's scene or picture (opr has no device and opens no data file). A file
// written by opr build has no such connection; one from elsewhere has them cut here, and
// the input reads as unconnected.
void cutNonNumberSources(Project& project) {
  for (const auto& g : project.graphs) {
    for (const auto& op : g->operators) {
      for (Port& in : op->inputs) {
        if (in.type != PortType::Float && in.type != PortType::Text) continue;
        for (size_t i = 0; i < in.sources.size();) {
          if (in.sources[i]->type == PortType::Float) {
            ++i;
            continue;
          }
          std::fprintf(stderr, "opr: warning: graph %d operator %d (%s): input \"%s\" is fed by a non-number output; read as unconnected\n",
                       g->id, op->id, op->type.c_str(), in.name.c_str());
          in.unlink(in.sources[i]);
        }
      }
    }
  }
}

bool loadAny(const std::string& path, Project& project) {
  const bool json = isJsonSource(path);
  const bool ok = json ? buildFromSource(path, project, false) : loadProduction(path, project);
  if (!ok) return false;
  // The file keeps a span's "timeType" for the editor, but the player reads every span as
  // type 0 (local time t + offsetGlobal); a source is evaluated as its file would be.
  if (json) {
    for (Track& track : project.tracks)
      for (auto& span : track.spans) span->timeType = 0;
  }
  cutNonNumberSources(project);
  return true;
}

int cmdEval(const std::string& path, const std::vector<float>& times) {
  Project project;
  if (!loadAny(path, project)) return 1;
  Context ctx;
  for (float t : times) {
    setCurrentProject(&project);
    for (const auto& graph : project.graphs) {
      for (const auto& op : graph->operators) {
        for (Port& out : op->outputs) {
          if (out.type != PortType::Float) continue;
          out.evaluate(t, ctx);
          std::printf("%.9g %d %d %s %s %.9g\n", static_cast<double>(t), graph->id, op->id, op->type.c_str(),
                      out.name.c_str(), static_cast<double>(ctx.floatResult));
        }
      }
    }
  }
  return 0;
}

// The graph on top at t, found from the spans alone as the player's timeline finds it (the
// first span in track order that covers t and names a graph); drawing the timeline would
// need a device, shaders and the production's data files.
int cmdTimeline(const std::string& path, const std::vector<float>& times) {
  Project project;
  if (!loadAny(path, project)) return 1;
  for (float t : times) {
    const OperatorGraph* shown = nullptr;
    float local = t;
    for (const Track& track : project.tracks) {
      for (const auto& span : track.spans) {
        if (shown || !span->covers(t)) continue;
        const OperatorGraph* g = project.findGraph(span->graphId);
        if (!g || !g->finalOutput()) continue;
        shown = g;
        local = span->localTime(t);
      }
    }
    if (shown) {
      std::printf("%.9g %d %.9g\n", static_cast<double>(t), shown->id, static_cast<double>(local));
    } else {
      std::printf("%.9g none\n", static_cast<double>(t));
    }
  }
  return 0;
}

const char* kindName(PortType t) {
  switch (t) {
    case PortType::Float: return "number";
    case PortType::Scene: return "scene";
    case PortType::Image: return "image";
    case PortType::Text: return "text";
    case PortType::Generic: return "graph";
  }
  return "?";
}

std::string sourcesText(const Port& in) {
  std::string out;
  for (const Port* src : in.sources) {
    const Operator* op = src->owner;
    out += out.empty() ? "<- " : ", ";
    out += op ? std::to_string(op->id) + " (" + op->type + ") " + src->name : src->name;
  }
  return out;
}

// Every input of one operator at each time, as its function would read it: the constant,
// the curve's value, or what the connected number operators give. Scene, image and graph
// inputs are named with what feeds them; evaluating them would draw.
int cmdEvalOperator(const std::string& path, const std::vector<float>& times, int32_t opId, bool haveGraph,
                    int32_t graphId) {
  Project project;
  if (!loadAny(path, project)) return 1;
  std::vector<const OperatorGraph*> holders;
  for (const auto& g : project.graphs) {
    if ((!haveGraph || g->id == graphId) && g->findOperator(opId)) holders.push_back(g.get());
  }
  if (holders.empty()) {
    const std::string where = haveGraph ? " in graph " + std::to_string(graphId) : std::string(" in any graph");
    std::fprintf(stderr, "opr: %s: no operator %d%s\n", path.c_str(), opId, where.c_str());
    return 1;
  }
  if (holders.size() > 1) {
    std::string ids;
    for (const OperatorGraph* g : holders) ids += (ids.empty() ? "" : ", ") + std::to_string(g->id);
    std::fprintf(stderr, "opr: %s: graphs %s all have an operator %d; choose one with --graph G\n", path.c_str(),
                 ids.c_str(), opId);
    return 1;
  }
  Operator& op = *holders[0]->findOperator(opId);
  size_t width = 0;
  for (const Port& in : op.inputs) width = std::max(width, in.name.size() + 2);
  const std::string custom = op.customName.empty() ? std::string() : " \"" + op.customName + "\"";
  Context ctx;
  setCurrentProject(&project);
  for (float t : times) {
    std::printf("%.9g graph %d operator %d (%s)%s\n", static_cast<double>(t), holders[0]->id, op.id, op.type.c_str(),
                custom.c_str());
    for (Port& in : op.inputs) {
      const std::string name = "\"" + in.name + "\"";
      std::string value, note;
      if (in.type == PortType::Float) {
        in.evaluate(t, ctx);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(ctx.floatResult));
        value = buf;
        if (in.curve) {
          note = "curve, " + std::to_string(in.curve->keys.size()) + " keys";
        } else if (in.choiceProvider) {
          value = std::to_string(std::bit_cast<int32_t>(ctx.floatResult));
          note = "graph id";
        } else if (!in.choices.empty()) {
          const float v = ctx.floatResult;
          if (v >= 0.0f && v < static_cast<float>(in.choices.size())) note = in.choices[static_cast<size_t>(v)];
        }
      } else if (in.type == PortType::Text) {
        in.evaluate(t, ctx);
        value = "\"" + ctx.textResult + "\"";
      } else {
        value = kindName(in.type);
        if (in.sources.empty()) note = "not connected";
      }
      const std::string from = sourcesText(in);
      if (!from.empty()) note = note.empty() ? from : note + ", " + from;
      std::printf("  %-*s %s%s%s\n", static_cast<int>(width), name.c_str(), value.c_str(), note.empty() ? "" : "  ",
                  note.c_str());
    }
  }
  return 0;
}

const char* typeName(NodeType t) {
  switch (t) {
    case NodeType::None: return "none";
    case NodeType::Int: return "int";
    case NodeType::Float: return "float";
    case NodeType::String: return "string";
    case NodeType::Other4: return "other4";
    case NodeType::Other5: return "other5";
  }
  return "?";
}

std::string quoted(const std::vector<uint8_t>& bytes) {
  std::string out = "\"";
  for (uint8_t c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
  std::string out = "<";
  for (size_t i = 0; i < bytes.size(); ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", bytes[i]);
    out += buf;
  }
  return out + ">";
}

void dumpNode(const TreeNode& node, int depth) {
  for (const auto& [key, c] : node.children) {
    std::string line(static_cast<size_t>(depth) * 2, ' ');
    line += c->name + "[" + std::to_string(c->siblingIndex) + "]";
    if (c->type != NodeType::None || !c->value.empty()) {
      line += ' ';
      line += typeName(c->type);
      line += ' ';
      switch (c->type) {
        case NodeType::String: line += quoted(c->value); break;
        case NodeType::Int:
        case NodeType::Float:
        case NodeType::Other5:
          line += toText(*c);
          if (c->value.size() != 4) {
            line += ' ';
            line += hexBytes(c->value);
          }
          break;
        default: line += hexBytes(c->value); break;
      }
    }
    std::printf("%s\n", line.c_str());
    dumpNode(*c, depth + 1);
  }
}

int cmdDump(const std::string& path) {
  TreeFile tree;
  if (!readTree(path, tree)) return 1;
  dumpNode(tree.root(), 0);
  return 0;
}

int cmdBuild(const std::string& source, const std::string& outPath) {
  Project project;
  if (!buildFromSource(source, project, true)) return 1;
  // Written through the engine's own serialize, so the file is what the player reads.
  std::string error;
  if (!writeProductionFile(source, outPath, project, error)) {
    std::fprintf(stderr, "opr: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int cmdCheck(const std::string& source) {
  Project project;
  bool warned = false;
  if (!buildFromSource(source, project, true, &warned)) return 1;
  if (!warned) std::printf("%s: no problems found\n", source.c_str());
  return 0;
}

int typesCommand(int argc, char** argv) {
  std::string name;
  bool markdown = false;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--markdown") {
      markdown = true;
    } else if (name.empty()) {
      name = a;
    } else {
      return usage("types takes at most one NAME");
    }
  }
  return cmdTypes(name, markdown);
}

}  // namespace

int main(int argc, char** argv) {
  registerEngineOperators();
  registerSceneOperators();
  registerImageOperators();
  registerSimOperators();
  if (argc < 2) return usage();
  const std::string cmd = argv[1];
  if (cmd == "eval" || cmd == "timeline") {
    if (argc < 4) return usage("missing FILE or times");
    // eval takes --operator ID and --graph G after the times.
    int end = argc;
    int32_t opId = 0, graphId = 0;
    bool haveOp = false, haveGraph = false;
    for (int i = 3; i < argc && cmd == "eval"; ++i) {
      const std::string a = argv[i];
      if (a != "--operator" && a != "--graph") {
        if (end != argc) return usage("the times come before --operator");
        continue;
      }
      if (end == argc) end = i;
      if (i + 1 >= argc) return usage((a + " takes an id").c_str());
      char* stop = nullptr;
      errno = 0;
      const long v = std::strtol(argv[i + 1], &stop, 10);
      if (!*argv[i + 1] || *stop || errno || v < std::numeric_limits<int32_t>::min() ||
          v > std::numeric_limits<int32_t>::max()) {
        return usage((a + " takes a whole number, not \"" + argv[i + 1] + "\"").c_str());
      }
      (a == "--operator" ? opId : graphId) = static_cast<int32_t>(v);
      (a == "--operator" ? haveOp : haveGraph) = true;
      ++i;
    }
    if (haveGraph && !haveOp) return usage("--graph goes with --operator");
    if (end <= 3) return usage("missing times");
    std::vector<float> times;
    std::string why;
    if (!parseTimes(end, argv, 3, times, why)) return usage(why.c_str());
    if (haveOp) return cmdEvalOperator(argv[2], times, opId, haveGraph, graphId);
    return cmd == "eval" ? cmdEval(argv[2], times) : cmdTimeline(argv[2], times);
  }
  if (cmd == "check") {
    if (argc != 3) return usage("check takes one SOURCE.json");
    return cmdCheck(argv[2]);
  }

  if (cmd == "dump") {
    if (argc != 3) return usage("dump takes one FILE");
    return cmdDump(argv[2]);
  }
  if (cmd == "build") {
    std::string source, out;
    for (int i = 2; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "-o") {
        if (i + 1 >= argc || !out.empty()) return usage("-o takes one output path");
        out = argv[++i];
      } else if (source.empty()) {
        source = a;
      } else {
        return usage("build takes one SOURCE.json");
      }
    }
    if (source.empty() || out.empty()) return usage("build needs SOURCE.json and -o OUT");
    return cmdBuild(source, out);
  }
  if (cmd == "types") return typesCommand(argc, argv);
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return usage(("unknown command \"" + cmd + "\"").c_str());
}
