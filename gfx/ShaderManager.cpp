#include "gfx/ShaderManager.h"
#include "gfx/LoadFailures.h"
#include "gfx/Reload.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include "gfx/FatalError.h"
#include "gfx/ShaderProgram.h"
#include "gfx/hlsl/HlslCompiler.h"
#include "gfx/hlsl/ModuleChecks.h"

bool useBinaryShaders = false;

const char* const kStageSuffix[hlsl::kStageCount] = {".vs", ".hs", ".ds", ".gs", ".ps", ".cs"};
const char* const kStageProfile[hlsl::kStageCount] = {"vs_5_0", "hs_5_0", "ds_5_0",
                                                  "gs_5_0", "ps_5_0", "cs_5_0"};

namespace {

const char* const kSourceDir = "data//shaders//";
const char* const kBinaryDir = "data//binShaders//";

// Programs named by a file path are compiled again at every load, so that an edited file
// is seen, unless a live reload forgets each file as it changes.
bool& changesForgotten() {
  static bool on = false;
  return on;
}

size_t& compiledFromSource() {
  static size_t count = 0;
  return count;
}

// The source file each cached stage was compiled from (stages read as binaries have none).
std::map<std::string, std::string>& sourceOfKey() {
  static std::map<std::string, std::string> sources;
  return sources;
}

std::map<std::string, std::unique_ptr<ShaderBlob>>& cache() {
  static std::map<std::string, std::unique_ptr<ShaderBlob>> blobs;
  return blobs;
}

std::string& lastError() {
  static std::string text;
  return text;
}

void logText(const std::string& text) { logMessage("%s", text.c_str()); }

std::string withSlashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// The path as messages show it: the folder names are spelled with doubled separators
// ("data//shaders//"), which open the same file but read oddly.
std::string shownPath(const std::string& path) {
  return std::filesystem::path(withSlashes(path)).lexically_normal().generic_string();
}

// SPIR-V starts with its magic number; anything else (a Direct3D blob, a truncated or
// empty file) must not reach the driver.
bool looksLikeSpirv(const std::string& bytes) {
  if (bytes.size() < 20 || bytes.size() % 4 != 0) return false;
  uint32_t magic = 0;
  std::copy_n(bytes.data(), 4, reinterpret_cast<char*>(&magic));
  return magic == 0x07230203u;
}

// The stages to build, in build order.
std::vector<uint32_t> stageOrder(const EntryPoints& e) {
  if (e[5]) return {5};
  std::vector<uint32_t> order;
  if (e[0]) order.push_back(0);
  if (e[1] && e[2]) {
    order.push_back(1);
    order.push_back(2);
  }
  if (e[3]) order.push_back(3);
  if (e[4]) order.push_back(4);
  return order;
}

}  // namespace

bool decideBinaryShaders() {
  struct stat st {};
  useBinaryShaders = ::stat("data/binShaders", &st) == 0 && S_ISDIR(st.st_mode);
  return useBinaryShaders;
}

bool readWholeFile(const std::string& path, std::string& out) {
  out.clear();
  std::FILE* f = std::fopen(withSlashes(path).c_str(), "rb");
  if (!f) return false;
  char buffer[16384];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) out.append(buffer, n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

std::string programLogLine(const char* name, const EntryPoints& e) {
  std::string line = name ? name : "";
  if (e[5]) {
    line += " cs=";
    line += e[5];
    return line;
  }
  if (e[0]) {
    line += " vs=";
    line += e[0];
  }
  if (e[3]) {
    line += " gs=";
    line += e[3];
  }
  if (e[4]) {
    line += " ps=";
    line += e[4];
  }
  return line;
}

std::unique_ptr<ShaderBlob> compileShader(uint32_t stage, const char* profile,
                                          const std::string& source, const char* entry,
                                          const char* sourceName) {
  if (stage >= hlsl::kStageCount || !profile || !entry) return nullptr;
  hlsl::CompileResult result =
      sourceName ? hlsl::compile(static_cast<hlsl::Stage>(stage), profile, source, entry, sourceName)
                 : hlsl::compile(static_cast<hlsl::Stage>(stage), profile, source, entry);
  lastError() = result.messages;
  if (!result.messages.empty()) {
    std::string text = result.messages;
    if (text.back() != '\n') text += '\n';
    logText(text);
  }
  if (!result.ok || result.spirv.empty()) return nullptr;
  auto blob = std::make_unique<ShaderBlob>();
  blob->stage = stage;
  blob->words = std::move(result.spirv);
  return blob;
}

const std::string& lastCompileError() { return lastError(); }

bool loadProgram(const char* name, const EntryPoints& entries, ShaderProgram* program,
                 bool forceRecompile, bool nameIsPath) {
  if (!name || !program) return false;
  // Paths keep their spelling in messages and cache keys; backslashes are only turned into
  // separators when the file is opened.
  const std::string path = nameIsPath ? std::string(name) : std::string(kSourceDir) + name + ".hlsl";
  const std::string shown = shownPath(path);
  std::string source;
  const bool opened = readWholeFile(path, source);
  if (!opened) {
    std::printf("Failed to open %s\n", shown.c_str());
    std::fflush(stdout);
    noteLoadFailure("shader", shown, "cannot open it");
    source.clear();
  }
  if (programLoadLines())
    logText("Loading shader program " + programLogLine(nameIsPath ? shown.c_str() : name, entries) + "\n");

  const std::string keyBase = name;
  for (uint32_t stage : stageOrder(entries)) {
    const std::string key = keyBase + entries[stage];
    auto& slot = cache()[key];
    // One entry name used for two stages shares a key; a blob of the other stage is a miss.
    if (!slot || forceRecompile || slot->stage != stage) {
      // Compiling the empty text of a missing file could only add a misleading message
      // about the entry point.
      if (!opened) {
        cache().erase(key);
        return false;
      }
      ++compiledFromSource();
      std::unique_ptr<ShaderBlob> blob =
          compileShader(stage, kStageProfile[stage], source, entries[stage], shown.c_str());
      if (!blob) {
        noteLoadFailure("shader", shown,
                        lastError().empty() ? std::string("entry point ") + entries[stage] + " does not compile"
                                            : lastError());
        // A failed recompile drops the old blob too, so the next load tries again.
        cache().erase(key);
        return false;
      }
      slot = std::move(blob);
      sourceOfKey()[key] = path;
    }
    if (!program->attachStage(stage, *slot, key)) return false;
  }
  return true;
}

bool loadProgramBinary(const char* name, const EntryPoints& entries, ShaderProgram* program,
                       bool nameIsPath) {
  if (!name || !program) return false;
  const std::string base = nameIsPath ? std::string(name) : std::string(kBinaryDir) + name;
  for (uint32_t stage : stageOrder(entries)) {
    const std::string key = std::string(name) + entries[stage];
    auto it = cache().find(key);
    if (it != cache().end() && it->second->stage != stage) {
      cache().erase(it);  // the other stage's blob under the same key: read this stage's file
      it = cache().end();
    }
    if (it == cache().end()) {
      const std::string path = base + entries[stage] + kStageSuffix[stage];
      std::string bytes;
      if (!readWholeFile(path, bytes)) {
        std::printf("Failed to open %s\n", shownPath(path).c_str());
        std::fflush(stdout);
        noteLoadFailure("shader", shownPath(path), "cannot open it");
        return false;
      }
      if (!looksLikeSpirv(bytes)) {
        logText("Invalid compiled shader " + shownPath(path) + " (not SPIR-V)\n");
        return false;
      }
      auto blob = std::make_unique<ShaderBlob>();
      blob->stage = stage;
      blob->words.resize(bytes.size() / 4);
      std::copy_n(bytes.data(), bytes.size(), reinterpret_cast<char*>(blob->words.data()));
      // The file is data: a damaged module or one of another stage must not reach the driver.
      std::string problem;
      hlsl::Reflection reflection;
      if (!hlsl::validateSpirv(blob->words, &problem)) {
        logText("Invalid compiled shader " + shownPath(path) + ": " + problem + "\n");
        return false;
      }
      if (!hlsl::reflect(blob->words, reflection, &problem) || reflection.stage != stage) {
        logText("Invalid compiled shader " + shownPath(path) + ": " +
                (problem.empty() ? std::string("not a ") + kStageProfile[stage] + " shader" : problem) + "\n");
        return false;
      }
      it = cache().emplace(key, std::move(blob)).first;
    }
    if (!program->attachStage(stage, *it->second, key)) return false;
  }
  return true;
}

std::string binaryShaderBase(const std::string& path) {
  std::string p = withSlashes(path);
  // Operators' default paths double their separators ("data//shaders//clothCS.hlsl"); a
  // leading pair (a network path) stays.
  for (size_t at; (at = p.find("//", 1)) != std::string::npos;) p.erase(at, 1);
  // Windows paths name the folder in any case; find it case-insensitively.
  std::string lower = p;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  size_t at = lower.find("data/shaders");
  if (at != std::string::npos && (at == 0 || lower[at - 1] == '/')) {
    p = "data/binShaders" + p.substr(at + 12);
  }
  // Cut the extension of the file name only: a dot in a folder name is not one.
  const size_t nameStart = p.rfind('/') == std::string::npos ? 0 : p.rfind('/') + 1;
  const size_t dot = p.find('.', nameStart);
  if (dot != std::string::npos) p.resize(dot);
  return p;
}

bool loadProgramFromFile(const char* path, const EntryPoints& entries,
                         std::unique_ptr<ShaderProgram>& slot) {
  if (!path) return false;
  auto program = std::make_unique<ShaderProgram>();
  bool ok;
  if (useBinaryShaders) {
    const std::string base = binaryShaderBase(path);
    ok = loadProgramBinary(base.c_str(), entries, program.get(), true);
  } else {
    ok = loadProgram(path, entries, program.get(), !changesForgotten(), true);
  }
  if (!ok) return false;
  slot = std::move(program);
  return true;
}

bool loadProgramAuto(const char* name, const EntryPoints& entries, ShaderProgram* program) {
  return useBinaryShaders ? loadProgramBinary(name, entries, program)
                          : loadProgram(name, entries, program);
}

const ShaderBlob* cachedShader(const std::string& key) {
  auto it = cache().find(key);
  return it == cache().end() ? nullptr : it->second.get();
}

size_t shaderCacheSize() { return cache().size(); }

void clearShaderCache() {
  cache().clear();
  hlsl::forgetCheckedModules();
}

size_t forgetShaderFile(const std::string& path) {
  namespace fs = std::filesystem;
  auto same = [](const std::string& a, const std::string& b) {
    return fs::path(withSlashes(a)).lexically_normal() == fs::path(withSlashes(b)).lexically_normal();
  };
  std::vector<std::string> keys;
  for (const auto& [key, source] : sourceOfKey())
    if (same(source, path)) keys.push_back(key);
  if (keys.empty()) {
    // An include: the sources that name it, directly or through other includes of the
    // shader folder (file names are matched in the text, which may drop a few more than
    // needed but never too few).
    std::vector<std::string> names{fs::path(withSlashes(path)).filename().string()};
    std::map<std::string, std::string> texts;  // every file of the shader folder
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator("data/shaders", ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      std::string text;
      if (readWholeFile(it->path().string(), text)) texts[it->path().filename().string()] += text;
    }
    for (const auto& [key, source] : sourceOfKey()) {
      std::string text;
      if (readWholeFile(source, text)) texts[fs::path(withSlashes(source)).filename().string()] += text;
    }
    auto mentions = [&](const std::string& text) {
      for (const std::string& n : names)
        if (text.find(n) != std::string::npos) return true;
      return false;
    };
    for (bool grew = true; grew;) {
      grew = false;
      for (const auto& [file, text] : texts)
        if (std::find(names.begin(), names.end(), file) == names.end() && mentions(text)) {
          names.push_back(file);
          grew = true;
        }
    }
    for (const auto& [key, source] : sourceOfKey())
      if (std::find(names.begin(), names.end(), fs::path(withSlashes(source)).filename().string()) != names.end())
        keys.push_back(key);
  }
  for (const std::string& key : keys) {
    cache().erase(key);
    sourceOfKey().erase(key);
  }
  return keys.size();
}

size_t shaderStagesCompiled() { return compiledFromSource(); }

void setShaderChangesForgotten(bool on) { changesForgotten() = on; }
