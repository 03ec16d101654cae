#include <map>

#include "gfx/hlsl/HlslCompiler.h"
#include "gfx/hlsl/SpirvWords.h"

namespace hlsl {

namespace {

using SemanticKey = std::pair<std::string, uint32_t>;

SemanticKey keyOf(const std::string& full) {
  SemanticKey k;
  spvw::splitSemantic(full, k.first, k.second);
  return k;
}

std::string describe(const SemanticKey& k) { return k.first + std::to_string(k.second); }

void fail(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// Points every input of m that is not a built-in at the location find(semantic, perPatch)
// gives, UINT32_MAX meaning none. A matrix or array input covers consecutive semantic
// indices, which must map to consecutive locations. On failure the message starts with
// `what` and m may be half patched.
template <typename Find>
bool relocateInputs(spvw::Module& m, Find find, const std::string& what, const char* missing, const char* spread,
                    std::string* error) {
  std::vector<spvw::IoVariable> io;
  spvw::interfaceVariables(m, io);
  for (const spvw::IoVariable& v : io) {
    if (v.storage != spvw::ScInput || v.builtin || !v.hasLocation) continue;
    SemanticKey k = keyOf(v.semantic);
    const uint32_t location = v.semantic.empty() ? UINT32_MAX : find(k, v.patch);
    if (location == UINT32_MAX) {
      fail(error, what + ": input " + (v.semantic.empty() ? std::string("without semantic") : describe(k)) + " " +
                      missing);
      return false;
    }
    for (uint32_t j = 1; j < v.locationCount; ++j) {
      if (find(SemanticKey{k.first, k.second + j}, v.patch) != location + j) {
        fail(error, what + ": input " + describe(k) + " spans " + std::to_string(v.locationCount) +
                        " semantic indices" + spread);
        return false;
      }
    }
    spvw::setLocation(m, v.id, location);
  }
  return true;
}

}  // namespace

bool linkStages(const std::vector<uint32_t>& prev, std::vector<uint32_t>& next, std::string* error) {
  std::vector<uint32_t> prevWords = prev;
  spvw::Module pm, nm;
  if (!spvw::parse(prevWords, pm)) {
    fail(error, "linking stages: previous stage: " + pm.error);
    return false;
  }
  std::vector<uint32_t> patched = next;
  if (!spvw::parse(patched, nm)) {
    fail(error, "linking stages: next stage: " + nm.error);
    return false;
  }
  std::vector<spvw::IoVariable> pio;
  spvw::interfaceVariables(pm, pio);
  // Per-patch values (tessellation) only link to per-patch values.
  std::map<std::pair<SemanticKey, bool>, uint32_t> outputs;
  for (const spvw::IoVariable& v : pio) {
    if (v.storage != spvw::ScOutput || v.builtin || !v.hasLocation || v.semantic.empty()) continue;
    SemanticKey k = keyOf(v.semantic);
    for (uint32_t j = 0; j < v.locationCount; ++j) outputs[{{k.first, k.second + j}, v.patch}] = v.location + j;
  }
  auto find = [&outputs](const SemanticKey& k, bool patch) {
    auto it = outputs.find({k, patch});
    return it == outputs.end() ? UINT32_MAX : it->second;
  };
  if (!relocateInputs(nm, find, "linking stages", "is not written by the previous stage",
                      " that the previous stage does not write on consecutive locations", error))
    return false;
  next = std::move(patched);
  return true;
}

bool remapVertexInputs(std::vector<uint32_t>& spirv,
                       const std::vector<std::pair<std::string, uint32_t>>& semanticsInLocationOrder,
                       std::string* error) {
  std::vector<uint32_t> patched = spirv;
  spvw::Module m;
  if (!spvw::parse(patched, m)) {
    fail(error, "vertex input remap: " + m.error);
    return false;
  }
  std::map<SemanticKey, uint32_t> locations;
  for (size_t i = 0; i < semanticsInLocationOrder.size(); ++i) {
    // {"TEXCOORD", 3} and {"texcoord3", 0} both name TEXCOORD3.
    SemanticKey k;
    uint32_t digits = 0;
    spvw::splitSemantic(semanticsInLocationOrder[i].first, k.first, digits);
    k.second = semanticsInLocationOrder[i].second != 0 ? semanticsInLocationOrder[i].second : digits;
    locations.emplace(k, static_cast<uint32_t>(i));
  }
  auto find = [&locations](const SemanticKey& k, bool) {
    auto it = locations.find(k);
    return it == locations.end() ? UINT32_MAX : it->second;
  };
  if (!relocateInputs(m, find, "vertex input remap", "is not in the input layout",
                      "; the input layout must give them consecutive elements", error))
    return false;
  spirv = std::move(patched);
  return true;
}

}  // namespace hlsl
