// hlslc: the HLSL front end from the command line.
//   hlslc reflect FILE ENTRY PROFILE [--all]
//   hlslc compile FILE ENTRY PROFILE -o OUT
//   hlslc bin [--shaders DIR] [--out DIR] LIST
// See docs/shaders.md.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "gfx/hlsl/HlslCompiler.h"

namespace {

namespace fs = std::filesystem;

int usage() {
  std::fprintf(stderr,
               "usage: hlslc reflect FILE ENTRY PROFILE [--all]\n"
               "       hlslc compile FILE ENTRY PROFILE -o OUT\n"
               "       hlslc bin [--shaders DIR] [--out DIR] LIST\n");
  return 2;
}

bool writeWords(const fs::path& path, const std::vector<uint32_t>& words) {
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(words.size() * sizeof(uint32_t)));
  return static_cast<bool>(f);
}

// Compiles FILE's ENTRY for PROFILE; prints the compiler's messages on stderr.
bool compileFile(const std::string& file, const std::string& entry, const std::string& profile,
                 hlsl::CompileResult& result) {
  hlsl::Stage stage;
  if (!hlsl::stageFromProfile(profile, stage)) {
    std::fprintf(stderr, "hlslc: unknown profile '%s' for %s\n", profile.c_str(), file.c_str());
    return false;
  }
  std::string source;
  if (!hlsl::readSourceFile(file, source)) {
    std::fprintf(stderr, "hlslc: cannot open %s\n", file.c_str());
    return false;
  }
  result = hlsl::compile(stage, profile, source, entry, file);
  if (!result.messages.empty()) std::fputs(result.messages.c_str(), stderr);
  if (!result.ok) std::fprintf(stderr, "hlslc: %s: entry %s (%s) failed to compile\n", file.c_str(), entry.c_str(),
                               profile.c_str());
  return result.ok;
}

const char* kindName(hlsl::ResourceKind k) {
  switch (k) {
    case hlsl::ResourceKind::Texture: return "texture";
    case hlsl::ResourceKind::Sampler: return "sampler";
    case hlsl::ResourceKind::Buffer: return "buffer";
    case hlsl::ResourceKind::StructuredBuffer: return "structured";
    case hlsl::ResourceKind::RWTexture: return "rwtexture";
    case hlsl::ResourceKind::RWBuffer: return "rwbuffer";
    case hlsl::ResourceKind::RWStructuredBuffer: return "rwstructured";
    case hlsl::ResourceKind::AppendBuffer: return "append";
    case hlsl::ResourceKind::ConsumeBuffer: return "consume";
  }
  return "?";
}

int cmdReflect(const std::vector<std::string>& a) {
  if (a.size() < 3 || a.size() > 4 || (a.size() == 4 && a[3] != "--all")) return usage();
  hlsl::CompileResult r;
  if (!compileFile(a[0], a[1], a[2], r)) return 1;
  hlsl::Reflection refl;
  std::string error;
  if (!hlsl::reflect(r.spirv, refl, &error)) {
    std::fprintf(stderr, "hlslc: %s: %s\n", a[0].c_str(), error.c_str());
    return 1;
  }
  for (const hlsl::CBufferInfo& cb : refl.cbuffers) {
    std::printf("cbuffer %s b%u size %u\n", cb.name.c_str(), cb.slot, cb.size);
    for (const hlsl::CBufferVariable& v : cb.variables) std::printf("  %s %u %u\n", v.name.c_str(), v.offset, v.size);
  }
  if (a.size() == 4) {
    for (const hlsl::ResourceBinding& res : refl.resources) {
      std::printf("resource %s %s reg %u binding %u", res.name.c_str(), kindName(res.kind), res.reg, res.binding);
      if (res.count > 1) std::printf(" count %u", res.count);
      if (res.counterBinding != UINT32_MAX) std::printf(" counter %u", res.counterBinding);
      if (res.structStride) std::printf(" stride %u", res.structStride);
      if (res.elementComponents) std::printf(" components %u type %u", res.elementComponents, res.elementType);
      std::printf("\n");
    }
    for (const hlsl::StageVariable& v : refl.inputs)
      std::printf("input %s%u location %u%s\n", v.semantic.c_str(), v.semanticIndex, v.location,
                  v.builtin ? " builtin" : "");
    for (const hlsl::StageVariable& v : refl.outputs)
      std::printf("output %s%u location %u%s\n", v.semantic.c_str(), v.semanticIndex, v.location,
                  v.builtin ? " builtin" : "");
    if (refl.stage == hlsl::Compute)
      std::printf("numthreads %u %u %u\n", refl.localSize[0], refl.localSize[1], refl.localSize[2]);
  }
  return 0;
}

int cmdCompile(const std::vector<std::string>& a) {
  if (a.size() != 5 || a[3] != "-o") return usage();
  hlsl::CompileResult r;
  if (!compileFile(a[0], a[1], a[2], r)) return 1;
  if (!writeWords(a[4], r.spirv)) {
    std::fprintf(stderr, "hlslc: cannot write %s\n", a[4].c_str());
    return 1;
  }
  return 0;
}

// LIST: one shader per line, "name stage=entry ..." with stage vs hs ds gs ps cs, e.g.
//   progressBar vs=VS ps=PS
//   particles/update cs=CS
// '#' starts a comment. Writes OUT/name+entry+suffix for every entry.
int cmdBin(const std::vector<std::string>& a) {
  std::string shaders = "data/shaders", out = "data/binShaders", list;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == "--shaders" && i + 1 < a.size()) shaders = a[++i];
    else if (a[i] == "--out" && i + 1 < a.size()) out = a[++i];
    else if (list.empty() && a[i].rfind("--", 0) != 0) list = a[i];
    else return usage();
  }
  if (list.empty()) return usage();
  std::ifstream f(list);
  if (!f) {
    std::fprintf(stderr, "hlslc: cannot open %s\n", list.c_str());
    return 1;
  }
  static const char* kSuffix[] = {".vs", ".hs", ".ds", ".gs", ".ps", ".cs"};
  int failures = 0, written = 0;
  std::string line;
  int lineNo = 0;
  while (std::getline(f, line)) {
    ++lineNo;
    if (size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::istringstream ls(line);
    std::string name, item;
    if (!(ls >> name)) continue;
    // A name is a path below both folders; one that climbs out would write elsewhere.
    const fs::path normal = fs::path(name).lexically_normal();
    if (normal.is_absolute() || normal.empty() || *normal.begin() == ".." || normal.filename().empty()) {
      std::fprintf(stderr, "hlslc: %s:%d: the shader name '%s' leaves the shader and output folders\n", list.c_str(),
                   lineNo, name.c_str());
      ++failures;
      continue;
    }
    const std::string file = shaders + "/" + name + ".hlsl";
    while (ls >> item) {
      size_t eq = item.find('=');
      hlsl::Stage stage;
      if (eq == std::string::npos || eq + 1 == item.size() || !hlsl::stageFromProfile(item.substr(0, eq), stage)) {
        std::fprintf(stderr, "hlslc: %s:%d: expected stage=entry, got '%s'\n", list.c_str(), lineNo, item.c_str());
        ++failures;
        continue;
      }
      const std::string entry = item.substr(eq + 1);
      hlsl::CompileResult r;
      if (!compileFile(file, entry, item.substr(0, eq) + "_5_0", r)) {
        ++failures;
        continue;
      }
      const fs::path target = fs::path(out) / (name + entry + kSuffix[stage]);
      if (!writeWords(target, r.spirv)) {
        std::fprintf(stderr, "hlslc: cannot write %s\n", target.string().c_str());
        ++failures;
        continue;
      }
      ++written;
    }
  }
  std::fprintf(stderr, "hlslc: %d file(s) written to %s, %d failure(s)\n", written, out.c_str(), failures);
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (cmd == "reflect") return cmdReflect(args);
  if (cmd == "compile") return cmdCompile(args);
  if (cmd == "bin") return cmdBin(args);
  return usage();
}
