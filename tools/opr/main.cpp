// opr: the production tool. Evaluates the float outputs and the timeline of a production
// file, prints its tree, and builds production files from their JSON source.
#include <cctype>
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
#include "engine/Operator.h"
#include "engine/Project.h"
#include "image/Operators.h"
#include "project/ProjectLoader.h"
#include "project/TreeFile.h"
#include "scene/Operators.h"
#include "sim/Operators.h"
#include "tools/opr/JsonProduction.h"
#include "tools/opr/OutputFile.h"
#include "tools/opr/Types.h"

namespace {

constexpr const char* kUsage =
    "usage: opr eval FILE T1 [T2 ...]      print every float output of every operator at each time\n"
    "       opr timeline FILE T1 [T2 ...]  print the top graph and its local time at each time\n"
    "       opr dump FILE                  print the file's tree\n"
    "       opr build SOURCE.json -o OUT   build a production file from its JSON source\n"
    "       opr types [--markdown] [NAME]  print every operator type (or NAME) with its inputs and outputs\n";

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

int cmdEval(const std::string& path, const std::vector<float>& times) {
  Project project;
  if (!loadProduction(path, project)) return 1;
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

int cmdTimeline(const std::string& path, const std::vector<float>& times) {
  Project project;
  if (!loadProduction(path, project)) return 1;
  Context ctx;
  for (float t : times) {
    float local = t;
    FinalOutput* top = project.evaluate(local, ctx);
    const OperatorGraph* shown = nullptr;
    for (const auto& g : project.graphs) {
      if (top && g->finalOutput() == top) shown = g.get();
    }
    if (shown) {
      std::printf("%.9g %d %.9g\n", static_cast<double>(t), shown->id, static_cast<double>(local));
    } else {
      std::printf("%.9g none\n", static_cast<double>(t));
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
  std::ifstream in(source, std::ios::binary);
  std::error_code ec;
  if (!in || std::filesystem::is_directory(source, ec)) {
    std::fprintf(stderr, "opr: cannot open %s\n", source.c_str());
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();

  Project project;
  setCurrentProject(&project);
  std::string error;
  if (!buildProjectFromJson(text.str(), source, project, error)) {
    std::fprintf(stderr, "opr: %s\n", error.c_str());
    return 1;
  }

  // Written through the engine's own serialize, so the file is what the player reads.
  if (!writeProductionFile(source, outPath, project, error)) {
    std::fprintf(stderr, "opr: %s\n", error.c_str());
    return 1;
  }
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
    std::vector<float> times;
    std::string why;
    if (!parseTimes(argc, argv, 3, times, why)) return usage(why.c_str());
    return cmd == "eval" ? cmdEval(argv[2], times) : cmdTimeline(argv[2], times);
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
