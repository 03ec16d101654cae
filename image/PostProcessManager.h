#pragma once
// The post-process manager: the one process-wide owner of every full-screen post-process
// pass. It holds the compiled programs, the samplers they use, the intermediate targets
// and one parameter block per pass. Effect operators are thin: they write their parameters
// into their block, take a destination from the post-process ring and call the pass.
//
// Created at start-up after the Device and before the production is loaded, initialised
// once (init), and deleted at shutdown before the shader cache and the Device go.
//
// Every pass draws full-screen triangles: its targets are bound alone (no depth) and
// cleared whole to (0, 0, 0, 0), viewport and scissor are set to the step's rectangle,
// the step's textures go to pixel-shader slots with the pass's samplers, the program is
// drawn as a 3-vertex strip, then textures and targets are unbound.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/Context.h"
#include "engine/Math.h"
#include "scene/VelocityTilePass.h"

class Device;
struct ProgramTrace;
class FluidSolver;
class Sampler;
class Screen;
class ShaderProgram;
class Texture;
struct GBufferSet;

// One program of the manager: the shader file, its entry points, and what was loaded
// (null when loading failed; the pass then draws nothing).
struct PassProgram {
  const char* file = "";
  const char* vertexEntry = "VS";
  const char* pixelEntry = "PS";
  std::unique_ptr<ShaderProgram> program;
  ShaderProgram* get() const { return program.get(); }
};

// ---- parameter blocks, in manager order --------------------------------------------------

struct DOFBlock {
  float focalLength = 0.45f;
  float focalPlane = 1.0f;
  float aperture = 0.075f;
  // Both blurs are drawn over blocks: those whose widest circle is at most kDOFNarrowRadius
  // pixels take the narrow programs (fewer taps, as close as a pixel apart), the others these.
  PassProgram hexBlur0{"dof", "TileVS", "PSHexBlurPass0", nullptr};
  // Drawn over the blocks where a circle is wider than the combine's sharp limit.
  PassProgram hexBlur1{"dof", "TileVS", "PSHexBlurPass1", nullptr};
  PassProgram hexBlur0Narrow{"dof", "NarrowTileVS", "PSHexBlurPass0Narrow", nullptr};
  PassProgram hexBlur1Narrow{"dof", "NarrowTileVS", "PSHexBlurPass1Narrow", nullptr};
  bool narrowBlurs = true;  // false: every block takes the wide programs (tests compare the two)
  PassProgram calcCoC{"dof", "VS", "PSCalcCoCSize", nullptr};
  PassProgram combine{"dof", "VS", "PSCombine", nullptr};
  PassProgram blockRadius{"dof", "VS", "PSBlockRadius", nullptr};  // the widest circle of each block
  Texture* t1 = nullptr;
  Texture* t2 = nullptr;
  Texture* t3 = nullptr;
  Texture* t4 = nullptr;
  Texture* blocks = nullptr;  // one texel per 16 x 16 block of T3, re-made when T3's size changes
};

struct FXAABlock {
  PassProgram program{"fxaa", "mainVS", "mainPS", nullptr};
  // Where the region maps pixels onto texels one to one: the picture copied, the blocks
  // holding an edge marked, and the anti-aliasing drawn over those only (all of it with
  // overBlocks false).
  PassProgram copy{"fxaa", "mainVS", "PSCopy", nullptr};
  PassProgram edgeBlocks{"fxaa", "mainVS", "PSEdgeBlocks", nullptr};
  PassProgram overEdges{"fxaa", "TileVS", "mainPS", nullptr};
  bool overBlocks = true;
  Texture* blocks = nullptr;  // one texel per 16 x 16 block of the destination, re-made when its size changes
};

struct ToneMappingBlock {
  float exposure = 1.0f;
  float sharpen = 0.0f;
  PassProgram program{"toneMapping", "mainVS", "mainPS", nullptr};
  PassProgram sharpened{"toneMapping", "mainVS", "mainPSSharpen", nullptr};  // sharpen != 0
};

struct SSAOBlock {
  float radius = 0.2f;
  float fadeEnd = 8.0f;
  float fadeStart = 0.3f;
  float power = 1.0f;
  float surfaceEpsilon = 0.08f;
  float farPlane = 3.40282347e38f;  // copied from the Context before each use
  float fieldOfView = 3.40282347e38f;
  PassProgram ssao{"ssao", "VS", "PS", nullptr};
  PassProgram blurV{"ssaoBlur", "VS", "PSVertical", nullptr};
  PassProgram blurH{"ssaoBlur", "VS", "PSHorizontal", nullptr};
  PassProgram combine{"ssaoBlur", "VS", "PSCombine", nullptr};
  Texture* aoA = nullptr;
  Texture* aoB = nullptr;
  Texture* randomVectors = nullptr;  // 4 x 4 RGBA8, immutable
  Float4 offsets[14];
  Float4 frustumCorner;
};

struct BloomBlock {
  float extractThreshold = 0.25f;
  float radiusX = 50.0f;
  float radiusY = 50.0f;
  float intensity = 1.0f;
  PassProgram extract{"bloom", "VS", "PSExtract", nullptr};
  // The blurs draw the blocks that light from a bright block can reach (all of them with
  // overBlocks false).
  PassProgram blurV{"bloomBlur", "TileVS", "PSVertical", nullptr};
  PassProgram blurH{"bloomBlur", "TileVS", "PSHorizontal", nullptr};
  PassProgram combine{"bloom", "VS", "PSBloom", nullptr};
  PassProgram marks{"bloomBlur", "VS", "PSBlockMarks", nullptr};  // blocks of bA holding bright parts
  PassProgram reach{"bloomBlur", "VS", "PSBlockReach", nullptr};  // blocks the blurs can carry them to
  bool overBlocks = true;
  Texture* bA = nullptr;  // half size
  Texture* bB = nullptr;
  Texture* marked = nullptr;   // one texel per 16 x 16 block of bA, re-made when bA's size changes
  Texture* reached = nullptr;
};

// A separable Gaussian: horizontal into the intermediate, vertical into the destination.
// What a Gaussian blur pass reads: the centre's weight and up to eight bilinear fetches on
// each side (distance in pixels, weight), normalised, for a radius in pixels of a 1080-line
// picture over a region of the given height share of a source of the given height.
struct GaussTaps {
  float centre = 1.0f;
  int32_t pairs = 0;
  Float4 pairTaps[8] = {};
};
GaussTaps gaussTaps(float radiusSetting, float regionScaleY, float sourceHeight);

// What a bloom blur pass reads: taps 0..8 (distance in pixels, normalised weight) used on
// both sides, for a radius in pixels of a 1080-line picture over a target of that height;
// blurs is 0 when the radius is under half a pixel.
struct BloomTaps {
  int32_t blurs = 0;
  Float4 taps[9] = {};
};
BloomTaps bloomTaps(float radiusSetting, float targetHeight);

struct GaussBlurBlock {
  float intensity = 2.0f;
  float radius = 50.0f;
  PassProgram horizontal{"gaussBlur", "VS", "PSHorizontal", nullptr};
  PassProgram vertical{"gaussBlur", "VS", "PSVertical", nullptr};
  Texture* intermediate = nullptr;  // full size
};

struct InvertBlock {
  float intensity = 0.0f;
  bool useMask = false;
  PassProgram program{"invert", "VS", "PS", nullptr};
};

struct FeedbackBlock {
  float previousInfluence = 0.1f;
  float currentIntensity = 1.2f;
  float time = 0.0f;
  float noiseStrength = 0.0f;
  float noiseFrequency = 0.0f;
  float noisePhase = 0.0f;
  PassProgram feedback{"feedback", "VS", "PS", nullptr};
  PassProgram copy{"copy", "VS", "PS", nullptr};
  Texture* historyA = nullptr;  // the last feedback result
  Texture* historyB = nullptr;
  bool firstUse = true;  // run-wide: the very first apply shows no history
};

struct GrainBlock {
  float strength = 16.0f;
  float fadeIn = 0.0f;  // never written by an operator
  PassProgram program{"grain", "VS", "PS", nullptr};
};

struct ColorCorrectionBlock {
  Float4 preAdd{0, 0, 0, 0};
  Float4 mul{1, 1, 1, 0};
  Float4 pow{1, 1, 1, 0};
  Float4 postAdd{0, 0, 0, 0};
  Float4 postMul{1, 1, 1, 0};
  Float4 min{0, 0, 0, 0};
  Float4 max{1, 1, 1, 0};
  float saturation = 1.0f;
  bool preview = false;
  PassProgram program{"colorCorrection", "VS", "PS", nullptr};
  PassProgram withPower{"colorCorrection", "VS", "PSPower", nullptr};  // a power other than 1
};

struct CCSplitToningBlock {
  Float4 hi{1, 1, 1, 0};
  float hiInfluence = 1.0f;
  float balance = 0.5f;
  Float4 lo{0, 0, 0, 0};
  float loInfluence = 1.0f;
  PassProgram program{"ccSplitToning", "VS", "PS", nullptr};
};

struct CCToneBlock {
  float exposure = 0, contrast = 0, highlights = 0, shadows = 0, whites = 0, blacks = 0;
  PassProgram program{"ccTone", "VS", "PS", nullptr};
};

// Hue ranges of CCColor, in block order.
enum CCRange : uint32_t { CCRed, CCOrange, CCYellow, CCGreen, CCAqua, CCBlue, CCPurple, CCMagenta, CCRangeCount };

struct CCColorBlock {
  Float4 ranges[CCRangeCount];  // (hue, saturation, luminance, 0) each
  PassProgram program{"ccColor", "VS", "PS", nullptr};
  PassProgram sameHue{"ccColor", "VS", "PSSameHue", nullptr};  // every range turns the hue alike
};

struct CCHSLBlock {
  Float4 hsl{0, 0, 0, 0};
  PassProgram program{"ccHSL", "VS", "PS", nullptr};
};

struct RadialBlurBlock {
  float intensity = 2.0f;
  float radius = 25.0f;
  Float4 centre{0, 0, 0, 0};
  PassProgram program{"radialBlur", "VS", "PS", nullptr};
};

struct MotionBlurBlock {
  float strength = 10.0f;
  float alpha = 1.0f;
  PassProgram main{"motionBlur", "VS", "PS", nullptr};
  PassProgram velocityFromView{"motionBlur", "VS", "PSVelocityFromView", nullptr};
  PassProgram blurV{"motionBlur", "VS", "PSBlurV", nullptr};
  PassProgram blurH{"motionBlur", "VS", "PSBlurH", nullptr};
  PassProgram downsample{"motionBlur", "VS", "PSDownsample", nullptr};
  Texture* half = nullptr;     // viewport width/2 x height/2, two channels
  Texture* quarter = nullptr;  // viewport width/4 x height/4
  uint32_t viewportWidth = 0, viewportHeight = 0;  // the size the two were made for
};

// The screen-space fluid: its parameters, and the solver with its programs and buffers
// (image/SSFluids.h), made by init.
struct SSFluidsBlock {
  float influence = 0.9f;
  float force = 1.0f;
  float viscosity = 0.1f;
  float stepsPerSecond = 240.0f;
  std::shared_ptr<FluidSolver> solver;
};

// ---- the manager --------------------------------------------------------------------------

class PostProcessManager : public VelocityTilePass {
 public:
  // Sets the block defaults and publishes itself as gPostProcessManager.
  PostProcessManager();
  // Releases every program and target; clears gPostProcessManager when it is this one.
  ~PostProcessManager();
  PostProcessManager(const PostProcessManager&) = delete;
  PostProcessManager& operator=(const PostProcessManager&) = delete;

  // Creates programs, samplers, random data and targets for a window of width x height,
  // logging one "Initializing ..." line before each block. Targets made with a size class
  // follow the window through the Device's resize list.
  void init(Device* device, uint32_t width, uint32_t height);
  void init(Device* device, Screen* screen);

  // ---- passes: source, destination, the Context viewport, and the extra arguments ----
  void applyDOF(Texture* source, Texture* destination, const Viewport& vp, Texture* depth, float zNear,
                float zFar);
  void applyFXAA(Texture* source, Texture* destination, const Viewport& vp);
  void applyToneMapping(Texture* source, Texture* destination, const Viewport& vp);
  void applySSAO(Texture* source, Texture* destination, const Viewport& vp, Texture* normals,
                 const Float4x4& projection);
  void applyBloom(Texture* source, Texture* destination, const Viewport& vp);
  void applyGaussBlur(Texture* source, Texture* destination, const Viewport& vp);
  void applyInvert(Texture* source, Texture* destination, const Viewport& vp, Texture* mask);
  void applyFeedback(Texture* source, Texture* destination, const Viewport& vp, float t);
  void applyGrain(Texture* source, Texture* destination, const Viewport& vp, float t, float contrast,
                  float contrastStrength);
  void applyRadialBlur(Texture* source, Texture* destination, const Viewport& vp);
  void applyMotionBlur(Texture* source, Texture* destination, const Viewport& vp, Texture* velocityTiles,
                       Texture* mask);
  void applyColorCorrection(Texture* source, Texture* destination, const Viewport& vp);
  void applyCCSplitToning(Texture* source, Texture* mask, Texture* destination, const Viewport& vp);
  void applyCCTone(Texture* source, Texture* mask, Texture* destination, const Viewport& vp);
  void applyCCColor(Texture* source, Texture* mask, Texture* destination, const Viewport& vp);
  void applyCCHSL(Texture* source, Texture* mask, Texture* destination, const Viewport& vp);

  // The velocity sequence, run by the lighting pass after every lighting render: reduces
  // the set's velocity image (G-buffer image 4) over the viewport to velocity tiles of a
  // quarter of the viewport's size, kept in set.velocityTiles (made or re-made here when
  // the size changes; the set owns it). Uses the MotionBlur block's strength and alpha.
  void buildVelocityTiles(GBufferSet& set, const Viewport& vp) override;

  // Every program of the manager, in manager order (for the shader contract test).
  std::vector<const PassProgram*> programs() const;

  Device* device() const { return device_; }

  DOFBlock dof;
  FXAABlock fxaa;
  ToneMappingBlock toneMapping;
  SSAOBlock ssao;
  BloomBlock bloom;
  GaussBlurBlock gaussBlur;
  InvertBlock invert;
  FeedbackBlock feedback;
  GrainBlock grain;
  ColorCorrectionBlock colorCorrection;
  CCSplitToningBlock ccSplitToning;
  CCToneBlock ccTone;
  CCColorBlock ccColor;
  CCHSLBlock ccHSL;
  RadialBlurBlock radialBlur;
  MotionBlurBlock motionBlur;
  SSFluidsBlock ssFluids;

  Sampler* linearClamp = nullptr;
  Sampler* linearWrap = nullptr;
  Sampler* pointClamp = nullptr;
  Sampler* pointWrap = nullptr;  // texelSampler's stand-in for linearWrap, for reads that wrap
  Sampler* linearBorder = nullptr;

  // When set, every constant, texture and sampler a pass writes is recorded here.
  ProgramTrace* trace = nullptr;

 private:
  struct Draw;
  void load(PassProgram& p);
  void makeMotionBlurTargets(uint32_t viewportWidth, uint32_t viewportHeight);
  // An R32F target of one texel per edge x edge block of a width x height picture, re-made
  // only when that count changes.
  void makeBlockTarget(Texture*& target, uint32_t width, uint32_t height, uint32_t edge);
  void makeDOFBlockTarget(uint32_t width, uint32_t height);
  void makeBloomBlockTargets(uint32_t width, uint32_t height);
  void makeFXAABlockTarget(uint32_t width, uint32_t height);
  // Whether the region of `source` maps the viewport's pixels one to one onto texels inside
  // `read`, so that a pass over `vp` reads `read` at its texel centres.
  bool mapsTexelsOneToOne(const Texture* read, const Texture* source, const Viewport& vp) const;
  // The point sampler where mapsTexelsOneToOne holds, where it gives what the filter gives for
  // far less work on a CPU driver; else `filtered`.
  Sampler* texelSampler(const Texture* read, const Texture* source, const Viewport& vp, Sampler* filtered) const;
  Sampler* texelSampler(const Texture* source, const Viewport& vp, Sampler* filtered) const {
    return texelSampler(source, source, vp, filtered);
  }
  Draw maskedDraw(const PassProgram& p, Texture* source, Texture* mask, Texture* destination, const Viewport& vp) const;
  void drawPass(const Draw& d);
  // drawPass, and while loading also prepares `other`, the program the pass picks otherwise.
  void drawChoice(const Draw& d, const PassProgram& other);

  Device* device_ = nullptr;
  uint32_t width_ = 0, height_ = 0;
  std::vector<Texture*> owned_;  // intermediate targets made by init, deleted with the manager
};

// The process-wide manager (null before start-up and after shutdown).
extern PostProcessManager* gPostProcessManager;

// The SSAO random data, drawn once at initialisation from the C runtime's generator
// (crtRand, 0 to 32767): sixteen RGBA8 texels of trunc(rand * 0.00778222), channels in
// R, G, B, A order, then the fourteen offset vectors, each normalised and given the
// length 0.12 + rand * 1.1597033e-05.
void makeSSAORandomData(uint8_t texels[64], Float4 offsets[14]);
