#include "sim/SimCommon.h"

#include "gfx/ConstantWriter.h"
#include "gfx/FatalError.h"
#include "gfx/Texture.h"

namespace sim {

Texture* createStructuredBuffer(uint32_t count, uint32_t stride, const void* data) {
  if (!gDevice || count == 0 || stride == 0) return nullptr;
  TextureDesc desc;
  desc.flags = kStructuredBufferFlags;
  desc.bitsPerPixel = stride * 8;
  desc.width = count;
  return createTexture(gDevice, desc, data);
}

bool loadComputeProgram(ShaderProgram& program, const char* name, const char* entry,
                        const std::string& defines) {
  bool ok = false;
  if (defines.empty()) {
    ok = loadProgramAuto(name, EntryPoints::compute(entry), &program);
  } else {
    const std::string file = std::string("data/shaders/") + name + ".hlsl";
    const std::string source = defines + "\n#include \"" + file + "\"\n";
    std::unique_ptr<ShaderBlob> blob = compileShader(5, "cs_5_0", source, entry, file.c_str());
    ok = blob && program.attachStage(5, *blob, file);
  }
  if (ok && program.shaders[5]) return true;
  logMessage("Failed to load compute entry %s of shader %s\n", entry, name);
  return false;
}

void evaluateEveryConnection(const std::vector<Port*>& sources, size_t input, float t, Context& ctx) {
  if (input >= sources.size() || !sources[input]) return;
  Port* port = sources[input];
  if (port->sources.empty()) {
    port->evaluate(t, ctx);
    return;
  }
  // By index, re-reading the size: an evaluated operator could (in a broken production)
  // change the list, and a copy would cost an allocation every frame.
  for (size_t i = 0; i < port->sources.size(); ++i) {
    Port* up = port->sources[i];
    if (up && up->source) up->evaluate(t, ctx);
  }
}

bool BitonicSorter::load(const char* shaderName, uint32_t block, const std::string& defines) {
  block_ = block;
  const bool a = loadComputeProgram(sort_, shaderName, "sort", defines);
  const bool b = loadComputeProgram(transpose_, shaderName, "matrixTranspose", defines);
  return a && b;
}

void BitonicSorter::pass(ShaderProgram& program, uint32_t level, uint32_t mask, uint32_t width,
                         uint32_t height, const Float4* axis) {
  ConstantWriter cb(&program, "bitonic sort", nullptr, 0, MapFailure::Skip);
  if (axis) cb.set("gSortAxis", *axis);
  cb.set("gLevel", level).set("gLevelMask", mask).set("gWidth", width).set("gHeight", height);
}

void BitonicSorter::run(Texture* data, Texture* scratch, uint32_t count, const Float4* axis) {
  const uint32_t kBlock = block_;
  if (!loaded() || !data || !scratch || kBlock < kTile || count < kBlock * kTile || (count & (count - 1)) != 0 ||
      (kBlock & (kBlock - 1)) != 0)
    return;
  const uint32_t rows = count / kBlock;
  const uint32_t groups = count / kBlock;
  for (uint32_t level = 2; level <= kBlock; level *= 2) {
    pass(sort_, level, level, kBlock, rows, axis);
    sort_.setUav(0, data);
    dispatch(&sort_, groups, 1);
  }
  for (uint32_t level = 2 * kBlock; level <= count; level *= 2) {
    const uint32_t columnLevel = level / kBlock;
    const uint32_t columnMask = (level & ~count) / kBlock;
    pass(transpose_, columnLevel, columnMask, kBlock, rows, axis);
    transpose_.setResource(5, 0, data);
    transpose_.setUav(0, scratch);
    dispatch(&transpose_, kBlock / kTile, rows / kTile);
    pass(sort_, columnLevel, columnMask, kBlock, rows, axis);
    sort_.setUav(0, scratch);
    dispatch(&sort_, groups, 1);
    pass(transpose_, kBlock, level, rows, kBlock, axis);
    transpose_.setResource(5, 0, scratch);
    transpose_.setUav(0, data);
    dispatch(&transpose_, rows / kTile, kBlock / kTile);
    pass(sort_, kBlock, level, rows, kBlock, axis);
    sort_.setUav(0, data);
    dispatch(&sort_, groups, 1);
  }
}

}  // namespace sim
