#define ENABLE_HLSL 1
#include "gfx/hlsl/HlslCompiler.h"

#include <glslang/Public/ResourceLimits.h>
#include <glslang/Public/ShaderLang.h>
#include <glslang/MachineIndependent/localintermediate.h>
#include <glslang/SPIRV/GlslangToSpv.h>

#include <spirv-tools/libspirv.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "gfx/hlsl/ModuleChecks.h"
#include "gfx/hlsl/PackOffset.h"
#include "gfx/hlsl/SpirvWords.h"

namespace hlsl {

namespace {

std::once_flag gInitOnce;
std::mutex gCompileMutex;  // glslang keeps process-wide state while parsing

// Deeper than any sensible set of shared headers; a chain this long is a mistake the
// cycle check cannot see (a generated chain of files, say).
constexpr size_t kMaxIncludeDepth = 32;

// Whether the text holds a line "#pragma once" (blanks allowed around the words).
bool hasPragmaOnce(const std::string& text) {
  size_t at = 0;
  while ((at = text.find("once", at)) != std::string::npos) {
    const size_t lineStart = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
    std::istringstream line(text.substr(lineStart, text.find('\n', at) - lineStart));
    std::string hash, pragma, once, rest;
    line >> hash;
    if (hash == "#") line >> pragma;
    else if (hash.size() > 1 && hash[0] == '#') pragma = hash.substr(1);
    if (pragma == "pragma" && (line >> once) && once == "once" && !(line >> rest)) return true;
    at += 4;
  }
  return false;
}

// "#include" as Direct3D's standard include handler resolves it: first beside the file
// that includes (for nested includes), then relative to the working directory. glslang
// follows includes without end, so a file that includes itself, directly or through
// others, would make the compile run until memory is gone: a file already open further up
// the chain is refused with the chain in the message, and so is a chain deeper than
// kMaxIncludeDepth. As with Direct3D, a file holding "#pragma once" is read the first time
// only; later includes of it are empty.
class FileIncluder : public glslang::TShader::Includer {
 public:
  FileIncluder(const std::string& mainName, const std::string& mainText) {
    // The text counts as its file only when it is that file's content: a caller may name a
    // text after the file it wraps ("#define ...\n#include \"that file\""), and including
    // that file is then no cycle.
    std::string key;
    std::string fileText;
    if (mainText.find("include") != std::string::npos && readSourceFile(mainName, fileText) && fileText == mainText)
      key = keyOf(mainName);
    chain_.push_back({key, mainName.empty() ? std::string("<source>") : mainName, nullptr});
    if (!key.empty() && hasPragmaOnce(mainText)) once_.insert(key);
  }

  IncludeResult* includeLocal(const char* headerName, const char* includerName, size_t) override {
    IncludeResult* r = open(headerName, includerName);
    // glslang asks includeSystem next when this gives no file; a refusal must stand.
    if (r && r->headerName.empty()) {
      refusal_ = std::string(r->headerData, r->headerLength);
    }
    return r;
  }
  IncludeResult* includeSystem(const char* headerName, const char*, size_t) override {
    if (!refusal_.empty()) {
      std::string why = std::move(refusal_);
      refusal_.clear();
      return refuse(why);
    }
    return open(headerName, "");
  }
  void releaseInclude(IncludeResult* r) override {
    if (!r) return;
    for (size_t i = chain_.size(); i-- > 1;) {
      if (chain_[i].result == r) {
        chain_.erase(chain_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
    delete static_cast<std::string*>(r->userData);
    delete r;
  }

 private:
  struct Open {
    std::string key;   // canonical path ("" for text without a file)
    std::string name;  // as the include gave it, for messages
    IncludeResult* result;
  };

  static std::string keyOf(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_regular_file(path, ec)) return {};
    const std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
    return ec ? std::string() : p.string();
  }

  std::string chainText(const std::string& last) const {
    std::string text;
    for (const Open& o : chain_) text += o.name + " -> ";
    return text + last;
  }

  IncludeResult* refuse(const std::string& why) {
    auto* text = new std::string(why);
    return new IncludeResult("", text->data(), text->size(), text);
  }

  IncludeResult* open(const char* headerName, const char* includerName) {
    namespace fs = std::filesystem;
    std::vector<fs::path> candidates;
    if (includerName && *includerName) {
      // Operators name their shader files with backslashes ("data\\shaders\\custom\\grass.hlsl").
      std::string includer = includerName;
      std::replace(includer.begin(), includer.end(), '\\', '/');
      fs::path dir = fs::path(includer).parent_path();
      if (!dir.empty()) candidates.push_back(dir / headerName);
    }
    candidates.push_back(fs::path(headerName));
    for (const fs::path& p : candidates) {
      const std::string key = keyOf(p.string());
      if (key.empty()) continue;
      const std::string name = p.generic_string();
      if (once_.count(key)) {
        // Already read once: an empty file (glslang needs at least one character).
        auto* blank = new std::string("\n");
        return new IncludeResult(name, blank->data(), blank->size(), blank);
      }
      for (const Open& o : chain_) {
        if (o.key == key) return refuse("include cycle: " + chainText(name));
      }
      if (chain_.size() > kMaxIncludeDepth) {
        return refuse("includes nested deeper than " + std::to_string(kMaxIncludeDepth) + " levels: " + chainText(name));
      }
      auto* text = new std::string;
      if (readSourceFile(p.string(), *text)) {
        if (hasPragmaOnce(*text)) once_.insert(key);
        auto* r = new IncludeResult(name, text->data(), text->size(), text);
        chain_.push_back({key, name, r});
        return r;
      }
      delete text;
    }
    return nullptr;  // glslang reports the missing include with its name
  }

  std::vector<Open> chain_;  // the main file, then every include still being read
  std::set<std::string> once_;
  std::string refusal_;
};

EShLanguage toLanguage(Stage s) {
  switch (s) {
    case Vertex: return EShLangVertex;
    case Hull: return EShLangTessControl;
    case Domain: return EShLangTessEvaluation;
    case Geometry: return EShLangGeometry;
    case Pixel: return EShLangFragment;
    case Compute: return EShLangCompute;
  }
  return EShLangVertex;
}

// Shader models this front end accepts: 4.0, 4.1 and 5.0 profiles.
bool profileModelOk(const std::string& profile) {
  if (profile.size() != 6 || profile[2] != '_') return false;
  std::string model = profile.substr(3);
  return model == "5_0" || model == "4_0" || model == "4_1";
}

// glslang notes when the HLSL uses resources in ways SPIR-V for Vulkan cannot express
// directly (local texture variables, resources in structs); the compile then runs the
// legalization passes, so the note itself is not for the user. Returns whether it was there.
bool takeLegalizationNote(std::string& messages) {
  const std::string note = "WARNING: AST will form illegal SPIR-V; need to transform to legalize";
  bool found = false;
  for (size_t p; (p = messages.find(note)) != std::string::npos;) {
    size_t e = messages.find('\n', p);
    messages.erase(p, e == std::string::npos ? std::string::npos : e - p + 1);
    found = true;
  }
  return found;
}

// glslang warns that it does not implement "#pragma once"; the includer does.
void erasePragmaOnceNotes(std::string& messages) {
  const std::string note = "'#pragma once' : not implemented";
  for (size_t p; (p = messages.find(note)) != std::string::npos;) {
    const size_t b = messages.rfind('\n', p);
    const size_t start = b == std::string::npos ? 0 : b + 1;
    const size_t e = messages.find('\n', p);
    messages.erase(start, e == std::string::npos ? std::string::npos : e - start + 1);
  }
}

// Each register class owns one binding range; a register past its range would land on the
// bindings of the next class (t32 on s0, b16 on t0), so such a shader is refused here. Only
// what the code mentions counts: declarations the entry never uses (an append buffer's
// counter in a stage that does not append, say) take no binding at draw time.
bool checkRegisterRanges(const spvw::Module& m, std::string& error) {
  std::set<uint32_t> mentioned;  // every operand word inside the functions
  bool inFunctions = false;
  for (const spvw::Instruction& in : m.insts) {
    inFunctions = inFunctions || in.opcode == spvw::OpFunction;
    if (inFunctions)
      for (uint32_t i = 1; i < in.count; ++i) mentioned.insert(m.word(in, i));
  }
  for (const spvw::Instruction& in : m.insts) {
    if (in.opcode != spvw::OpDecorate || in.count < 4 || m.word(in, 2) != spvw::DecBinding) continue;
    const uint32_t var = m.word(in, 1), binding = m.word(in, 3), storage = m.variableStorage(var);
    if (!mentioned.count(var)) continue;
    uint32_t type = m.variableType(var);
    const spvw::Instruction* t = m.def(type);
    uint64_t count = 1;
    while (t && t->opcode == spvw::OpTypeArray) {
      auto c = m.constants.find(m.word(*t, 3));
      count *= c == m.constants.end() ? 1 : std::max<uint64_t>(1, c->second);
      type = m.word(*t, 2);
      t = m.def(type);
    }
    if (!t) continue;
    char cls = 0;
    if (storage == spvw::ScUniform && m.hasDecoration(type, spvw::DecBlock)) {
      cls = 'b';
    } else if (storage == spvw::ScStorageBuffer || (storage == spvw::ScUniform && m.hasDecoration(type, spvw::DecBufferBlock))) {
      bool readOnly = m.hasMemberDecoration(type, 0, spvw::DecNonWritable) || m.hasDecoration(var, spvw::DecNonWritable);
      cls = readOnly ? 't' : 'u';
    } else if (storage == spvw::ScUniformConstant) {
      if (t->opcode == spvw::OpTypeSampler) cls = 's';
      else if (t->opcode == spvw::OpTypeImage && t->count >= 9) cls = m.word(*t, 7) == 2 ? 'u' : 't';
    }
    uint32_t base = 0, end = 0;
    switch (cls) {
      case 'b': base = kCBufferBase, end = kTextureBase; break;
      case 't': base = kTextureBase, end = kSamplerBase; break;
      case 's': base = kSamplerBase, end = kUavBase; break;
      case 'u': base = kUavBase, end = UINT32_MAX; break;
      default: continue;
    }
    if (binding >= base && uint64_t(binding) + count <= end) continue;
    auto name = m.names.find(var);
    if (name == m.names.end() || name->second.empty()) name = m.names.find(type);
    const std::string label = name == m.names.end() ? std::string("a resource") : "'" + name->second + "'";
    error = "register " + std::string(1, cls) + std::to_string(binding >= base ? binding - base : binding) +
            (count > 1 ? " (array of " + std::to_string(count) + ")" : std::string()) + " of " + label +
            " is outside " + cls + "0-" + cls + std::to_string(end - base - 1);
    return false;
  }
  return true;
}

}  // namespace

bool readSourceFile(const std::string& path, std::string& text) {
  text.clear();
  std::error_code ec;
  // A folder opens like a file and reads as empty text; only regular files count.
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream ss;
  ss << f.rdbuf();
  if (f.bad()) return false;
  text = ss.str();
  return true;
}

bool stageFromProfile(const std::string& profile, Stage& stage) {
  if (profile.size() < 2) return false;
  std::string p = profile.substr(0, 2);
  if (p == "vs") stage = Vertex;
  else if (p == "hs") stage = Hull;
  else if (p == "ds") stage = Domain;
  else if (p == "gs") stage = Geometry;
  else if (p == "ps") stage = Pixel;
  else if (p == "cs") stage = Compute;
  else return false;
  return true;
}

bool validateSpirv(const std::vector<uint32_t>& spirv, std::string* messages) {
  if (knownValid(spirv)) return true;
  spvtools::SpirvTools tools(SPV_ENV_VULKAN_1_3);
  std::string log;
  tools.SetMessageConsumer([&log](spv_message_level_t, const char*, const spv_position_t& pos, const char* m) {
    log += "SPIR-V validation (word " + std::to_string(pos.index) + "): " + m + "\n";
  });
  spvtools::ValidatorOptions options;
  options.SetScalarBlockLayout(true);
  bool ok = tools.Validate(spirv.data(), spirv.size(), options);
  if (messages) *messages += log;
  if (ok) rememberValid(spirv);
  return ok;
}

CompileResult compile(Stage stage, const std::string& profile, const std::string& source, const std::string& entry) {
  return compile(stage, profile, source, entry, std::string());
}

CompileResult compile(Stage stage, const std::string& profile, const std::string& source, const std::string& entry,
                      const std::string& sourceName) {
  CompileResult result;
  const std::string where = sourceName.empty() ? std::string("<source>") : sourceName;
  Stage profileStage;
  if (!stageFromProfile(profile, profileStage) || !profileModelOk(profile)) {
    result.messages = where + ": unsupported shader profile '" + profile + "'\n";
    return result;
  }
  if (profileStage != stage) {
    result.messages = where + ": profile '" + profile + "' does not match the requested stage\n";
    return result;
  }
  std::call_once(gInitOnce, [] { glslang::InitializeProcess(); });
  std::lock_guard<std::mutex> lock(gCompileMutex);

  const EShLanguage lang = toLanguage(stage);
  const auto messages = static_cast<EShMessages>(EShMsgSpvRules | EShMsgVulkanRules | EShMsgReadHlsl |
                                                 EShMsgHlslOffsets | EShMsgHlslLegalization);
  const char* text = source.c_str();
  const int length = static_cast<int>(source.size());
  const char* name = where.c_str();

  // Explicit packoffsets, read from the preprocessed text so that macros and includes are
  // resolved. Only needed when the text or an include may mention them; done before the
  // real parse because glslang's per-thread pool does not survive a second TShader dying
  // while the program is alive.
  spvw::PackOffsets explicitOffsets;
  if (source.find("packoffset") != std::string::npos || source.find("include") != std::string::npos) {
    glslang::TShader pre(lang);
    pre.setStringsWithLengthsAndNames(&text, &length, &name, 1);
    pre.setEnvInput(glslang::EShSourceHlsl, lang, glslang::EShClientVulkan, 100);
    pre.setEnvClient(glslang::EShClientVulkan, glslang::EShTargetVulkan_1_3);
    pre.setEnvTarget(glslang::EShTargetSpv, glslang::EShTargetSpv_1_6);
    std::string preprocessed;
    FileIncluder preIncluder(sourceName, source);
    // A failure here (missing include, bad directive) is reported by the real parse below.
    if (pre.preprocess(GetDefaultResources(), 100, ENoProfile, false, false, messages, &preprocessed, preIncluder) &&
        preprocessed.find("packoffset") != std::string::npos) {
      std::string error;
      if (!scanPackOffsets(preprocessed, explicitOffsets, error)) {
        result.messages += where + ": " + error + "\n";
        return result;
      }
    }
  }

  glslang::TShader shader(lang);
  shader.setStringsWithLengthsAndNames(&text, &length, &name, 1);
  shader.setEntryPoint(entry.c_str());
  shader.setSourceEntryPoint(entry.c_str());
  shader.setEnvInput(glslang::EShSourceHlsl, lang, glslang::EShClientVulkan, 100);
  shader.setEnvClient(glslang::EShClientVulkan, glslang::EShTargetVulkan_1_3);
  shader.setEnvTarget(glslang::EShTargetSpv, glslang::EShTargetSpv_1_6);
  shader.setEnvTargetHlslFunctionality1();
  shader.getIntermediate()->setUseStorageBuffer();
  shader.setHlslIoMapping(true);
  shader.setShiftBinding(glslang::EResUbo, kCBufferBase);
  shader.setShiftBinding(glslang::EResTexture, kTextureBase);
  shader.setShiftBinding(glslang::EResSampler, kSamplerBase);
  shader.setShiftBinding(glslang::EResUav, kUavBase);
  shader.setShiftBinding(glslang::EResImage, kUavBase);
  shader.setResourceSetBinding({"0"});
  shader.setAutoMapBindings(true);
  shader.setAutoMapLocations(true);

  FileIncluder includer(sourceName, source);
  bool parsed = shader.parse(GetDefaultResources(), 100, false, messages, includer);
  std::string parseLog = shader.getInfoLog();
  const bool needsLegalization = takeLegalizationNote(parseLog);
  erasePragmaOnceNotes(parseLog);
  result.messages += parseLog;
  if (!parsed) return result;

  glslang::TProgram program;
  program.addShader(&shader);
  if (!program.link(messages) || !program.mapIO()) {
    result.messages += program.getInfoLog();
    return result;
  }

  glslang::TIntermediate* intermediate = program.getIntermediate(lang);
  // Without the optimizer when glslang sees no need to legalize (several times faster);
  // with its legalization passes when it does, or when the plain module does not validate.
  for (int attempt = needsLegalization ? 1 : 0; attempt < 2; ++attempt) {
    glslang::SpvOptions options;
    options.disableOptimizer = attempt == 0;
    options.validate = false;
    spv::SpvBuildLogger logger;
    std::vector<uint32_t> words;
    glslang::GlslangToSpv(*intermediate, words, &logger, &options);
    std::string spvMessages = logger.getAllMessages();

    spvw::Module module;
    if (!spvw::parse(words, module) || !spvw::applyD3DLayout(module, explicitOffsets)) {
      result.messages += where + ": " + module.error + "\n";
      return result;
    }
    spvw::fixUnshiftedBindings(module, kTextureBase, kSamplerBase, kUavBase);
    if (std::string rangeError; !checkRegisterRanges(module, rangeError)) {
      result.messages += where + ": " + rangeError + "\n";
      return result;
    }
    std::string validation;
    if (validateSpirv(words, &validation)) {
      result.messages += spvMessages;
      result.spirv = std::move(words);
      result.ok = true;
      return result;
    }
    if (attempt == 1) {
      result.messages += spvMessages + where + ": generated SPIR-V is invalid\n" + validation;
      return result;
    }
  }
  return result;
}

}  // namespace hlsl
