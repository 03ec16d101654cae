#pragma once
// Compiles one entry of a shader file with the profile of its stage and reflects it, for the
// contract tests that check what a pass sets against what its shader declares. A failure
// is reported to the running test, naming the file and entry.
#include <gtest/gtest.h>

#include <string>

#include "gfx/hlsl/HlslCompiler.h"

namespace shaderreflect {

inline const char* const kProfiles[] = {"vs_5_0", "hs_5_0", "ds_5_0", "gs_5_0", "ps_5_0", "cs_5_0"};

inline bool reflectEntry(const std::string& file, hlsl::Stage stage, const char* entry, hlsl::Reflection& out) {
  std::string source;
  if (!hlsl::readSourceFile(file, source)) {
    ADD_FAILURE() << "cannot read " << file;
    return false;
  }
  hlsl::CompileResult c = hlsl::compile(stage, kProfiles[stage], source, entry, file);
  if (!c.ok) {
    ADD_FAILURE() << file << " " << entry << ":\n" << c.messages;
    return false;
  }
  std::string error;
  if (!hlsl::reflect(c.spirv, out, &error)) {
    ADD_FAILURE() << file << " " << entry << ": " << error;
    return false;
  }
  return true;
}

}  // namespace shaderreflect
