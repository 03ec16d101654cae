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
  std::vector<spvw::IoVariable> pio, nio;
  spvw::interfaceVariables(pm, pio);
  spvw::interfaceVariables(nm, nio);
  // Per-patch values (tessellation) only link to per-patch values. A matrix or array
  // covers consecutive semantic indices on consecutive locations.
  std::map<std::pair<SemanticKey, bool>, uint32_t> outputs;
  for (const spvw::IoVariable& v : pio) {
    if (v.storage != spvw::ScOutput || v.builtin || !v.hasLocation || v.semantic.empty()) continue;
    SemanticKey k = keyOf(v.semantic);
    for (uint32_t j = 0; j < v.locationCount; ++j) outputs[{{k.first, k.second + j}, v.patch}] = v.location + j;
  }
  for (const spvw::IoVariable& v : nio) {
    if (v.storage != spvw::ScInput || v.builtin || !v.hasLocation) continue;
    SemanticKey k = keyOf(v.semantic);
    auto it = outputs.find({k, v.patch});
    if (v.semantic.empty() || it == outputs.end()) {
      fail(error, "linking stages: input " + (v.semantic.empty() ? std::string("without semantic") : describe(k)) +
                      " is not written by the previous stage");
      return false;
    }
    for (uint32_t j = 1; j < v.locationCount; ++j) {
      auto more = outputs.find({{k.first, k.second + j}, v.patch});
      if (more == outputs.end() || more->second != it->second + j) {
        fail(error, "linking stages: input " + describe(k) + " spans " + std::to_string(v.locationCount) +
                        " semantic indices that the previous stage does not write on consecutive locations");
        return false;
      }
    }
    spvw::setLocation(nm, v.id, it->second);
  }
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
  std::vector<spvw::IoVariable> io;
  spvw::interfaceVariables(m, io);
  for (const spvw::IoVariable& v : io) {
    if (v.storage != spvw::ScInput || v.builtin || !v.hasLocation) continue;
    SemanticKey k = keyOf(v.semantic);
    auto it = locations.find(k);
    if (v.semantic.empty() || it == locations.end()) {
      fail(error, "vertex input remap: input " + (v.semantic.empty() ? std::string("without semantic") : describe(k)) +
                      " is not in the input layout");
      return false;
    }
    for (uint32_t j = 1; j < v.locationCount; ++j) {
      auto more = locations.find({k.first, k.second + j});
      if (more == locations.end() || more->second != it->second + j) {
        fail(error, "vertex input remap: input " + describe(k) + " spans " + std::to_string(v.locationCount) +
                        " semantic indices; the input layout must give them consecutive elements");
        return false;
      }
    }
    spvw::setLocation(m, v.id, it->second);
  }
  spirv = std::move(patched);
  return true;
}

}  // namespace hlsl
