#pragma once
// What the compositing, generator, screen-space and recording operators share. Unlike the
// post-process manager's passes they own their programs, and most draw into a picture
// without clearing it first:
//
//   drawOver: the target alone as colour target (no depth), viewport and scissor set to the
//   rectangle, the program drawn as a 3-vertex strip (or as many vertices as asked, for a
//   vertex stage that places its own triangles), then its textures and the five colour
//   targets unbound.
//
// Their region constants are computed against the frame's depth target (the G-buffer's
// size), not against a source picture.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/Context.h"
#include "gfx/ConstantWriter.h"
#include "scene/FrameSetup.h"
#include "scene/SceneContext.h"

class Device;
class Sampler;
class ShaderProgram;
class Texture;

namespace imagepass {

// When set, every constant, slot and run of these operators is recorded there (tests only).
extern ProgramTrace* trace;

// The samplers these operators name: min/mag/mip point or linear, with wrap or clamp in U, V, W.
Sampler* pointWrap(Device* device);
Sampler* linearClamp(Device* device);
Sampler* linearWrap(Device* device);

// gRegionScale / gRegionOffset of the viewport within the frame's depth target; (1, 1) and
// (0, 0) without a device, a Screen or a depth target.
RegionConstants depthRegion(const Context& ctx);

// A program has something to draw with: a vertex and a pixel stage, or a compute stage.
bool usable(const ShaderProgram* program);

// No depth, no culling, no blending, drawing limited to the scissor rectangle.
RenderStateDesc passStateDesc();

// Loads a program by base name from the shader folder (or a file path with `isPath`) by
// the road the shader mode selects, with the full-screen pass state. Null (with a message
// naming the file) when it does not load or there is no device.
std::unique_ptr<ShaderProgram> loadPassProgram(const char* name, const char* vertexEntry, const char* pixelEntry,
                                               bool isPath = false);
std::unique_ptr<ShaderProgram> loadComputeProgram(const char* name, const char* entry);

// loadPassProgram with "VS" and "PS", tried once: with the operator when a device exists (a
// production being loaded); operators made without one (tools, CPU tests) load on their
// first evaluation instead. `tried` remembers a failure so it is reported once.
void loadPassProgramOnce(std::unique_ptr<ShaderProgram>& program, bool& tried, const char* name);

// Pixel-stage texture and sampler of a slot (recorded in the trace unless the texture is
// null: an empty slot asks nothing of the shader; a null sampler for a texture the shader
// only loads texels from).
void bindTexture(ShaderProgram* program, uint32_t slot, Texture* texture, Sampler* sampler);
// Compute-stage texture and sampler of a slot, and compute UAVs (recorded likewise).
void bindComputeTexture(ShaderProgram* program, uint32_t slot, Texture* texture, Sampler* sampler);
void bindUav(ShaderProgram* program, uint32_t slot, Texture* view);

// The draw described above; nothing happens without a program, target or device, or for
// an empty rectangle (the targets are still unbound).
void drawOver(ShaderProgram* program, Texture* target, const Viewport& rect, uint32_t vertexCount = 3);
// Dispatches a compute program over x by y groups (recorded in the trace), then forgets its
// textures and views so that no pooled picture stays attached to it.
void runCompute(ShaderProgram* program, uint32_t x, uint32_t y);
// Clears a colour target whole.
void clearWhole(Device* device, Texture* target, float r = 0, float g = 0, float b = 0, float a = 0);

// A picture that may be read while `target` is drawn: `source` itself, or, when it is the
// target, a copy of it in a pooled target of the same size and format (reading and writing
// one image in a draw gives undefined results). Null stays null.
Texture* readable(Context& ctx, Texture* source, const Texture* target);

Viewport wholeOf(const Texture* t);

}  // namespace imagepass
