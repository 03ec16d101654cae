// The cheaper passes must show what the passes they replaced showed. Each test keeps the
// replaced shader's text, draws the same fixed picture through it and through today's
// shader, and bounds the difference as a peak signal-to-noise ratio over the colour channels
// (peak: the brightest channel of the old picture, at least 1).
//
// Bounds: moving work that depends only on constants from every pixel onto the CPU or into
// the vertex shader changes the order and precision of float sums, below one step of the
// half-float targets: at least 60 dB, where one step everywhere would give about 66 dB. 45 dB
// (an RMS error under 0.6% of the peak, less than one 8-bit step) is already invisible on a
// picture. Skipping a fetch of a mask that is not connected must change nothing at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "tests/image/PostTestSupport.h"

namespace {

using posttest::Pixel;
using posttest::psnr;

// The separable Gaussian blur as it computed its weights on every pixel. The manager no
// longer sends its radius, so the test fixes it (the only change to the old text).
const char* const kOldGaussBlur = R"(#include "common/fullscreen.hlsli"
cbuffer GaussBlurConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
    float gRadius;
    float gIntensity;
};

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);

static const int kMaxFetchesPerSide = 8;

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float gaussian(float x, float sigma)
{
    return exp(-x * x / (2.0 * sigma * sigma));
}

// Pairs of neighbouring taps are read with one bilinear fetch placed between them by their
// weights; taps are a pixel apart up to 16 pixels of radius, further apart beyond.
float4 blur(float2 uvOverRegion, float2 direction)
{
    float w, h;
    gSource.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float2 lo = gRegionOffset + 0.5 * texel;
    float2 hi = gRegionOffset + gRegionScale - 0.5 * texel;
    float2 uv = regionToSource(uvOverRegion, gRegionScale, gRegionOffset);
    float radius = max(gRadius, 0.0) * gRegionScale.y * h / 1080.0;
    float4 centre = gSource.SampleLevel(gSourceSampler, clamp(uv, lo, hi), 0);
    if (radius < 0.5)
        return centre;
    float sigma = radius / 3.0;
    float spacing = max(1.0, radius / (2.0 * kMaxFetchesPerSide));
    int pairs = min(int(ceil(radius / (2.0 * spacing))), kMaxFetchesPerSide);
    float4 sum = centre;
    float weights = 1.0;
    [loop]
    for (int k = 0; k < pairs; ++k)
    {
        float x1 = (2.0 * k + 1.0) * spacing, x2 = x1 + spacing;
        float w1 = gaussian(x1, sigma), w2 = gaussian(x2, sigma);
        float pairWeight = w1 + w2;
        float2 offset = direction * ((x1 * w1 + x2 * w2) / pairWeight) * texel;
        sum += pairWeight * (gSource.SampleLevel(gSourceSampler, clamp(uv + offset, lo, hi), 0) +
                             gSource.SampleLevel(gSourceSampler, clamp(uv - offset, lo, hi), 0));
        weights += 2.0 * pairWeight;
    }
    return sum / weights;
}

float4 PSHorizontal(FullscreenVertex i) : SV_TARGET
{
    return blur(i.uv, float2(1, 0));
}

float4 PSVertical(FullscreenVertex i) : SV_TARGET
{
    float4 c = blur(i.uv, float2(0, 1));
    return float4(c.rgb * gIntensity, c.a);
}
)";

// The bloom blur as it computed its 17 weights on every pixel (radius fixed likewise).
const char* const kOldBloomBlur = R"(#include "common/fullscreen.hlsli"
cbuffer BloomBlurConstants : register(b0)
{
    float gBloomRadius;
};

Texture2D gInput : register(t0);
SamplerState gInputSampler : register(s0);

static const int kTapsPerSide = 8;

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 blur(float2 uv, float2 direction)
{
    float w, h;
    gInput.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    // The target is half size: a radius of R reference pixels is R * (2h) / 1080 / 2 here.
    float radius = max(gBloomRadius, 0.0) * h / 1080.0;
    if (radius < 0.5)
        return gInput.SampleLevel(gInputSampler, uv, 0);
    float sigma = radius / 2.5;
    float step = radius / float(kTapsPerSide);
    float4 sum = 0;
    float weights = 0;
    for (int k = -kTapsPerSide; k <= kTapsPerSide; ++k)
    {
        float x = float(k) * step;
        float weight = exp(-x * x / (2.0 * sigma * sigma));
        sum += weight * gInput.SampleLevel(gInputSampler, uv + direction * x * texel, 0);
        weights += weight;
    }
    return sum / weights;
}

float4 PSVertical(FullscreenVertex i) : SV_TARGET
{
    return blur(i.uv, float2(0, 1));
}

float4 PSHorizontal(FullscreenVertex i) : SV_TARGET
{
    return blur(i.uv, float2(1, 0));
}
)";

// The tone grade with the masked-pass helpers as they were: the mask read on every pixel.
const char* const kOldCCTone = R"(#include "common/fullscreen.hlsli"
#include "common/color.hlsli"
#define COMMON_MASKED_PASS_HLSLI
#define MASKED_PASS_CONSTANTS float2 gRegionScale; float2 gRegionOffset; float2 gScreenSize; int gMaskImageConnected;
Texture2D gSource : register(t0);
Texture2D gMask : register(t1);
SamplerState gSourceSampler : register(s0);
SamplerState gMaskSampler : register(s1);

// The mask's weight at uv (maskWeight of its texel); 1 where `connected` is 0.
float maskAt(float2 uv, int connected)
{
    return maskWeight(connected, gMask.Sample(gMaskSampler, uv));
}

// The picture's colour c with its rgb taken towards `graded` as far as the mask lets it at
// uv; alpha is kept.
float4 maskedGrade(float4 c, float3 graded, float2 uv, int connected)
{
    return float4(lerp(c.rgb, graded, maskAt(uv, connected)), c.a);
}


cbuffer CCToneConstants : register(b0)
{
    float gExposure;
    float gContrast;
    float gHighlights;
    float gShadows;
    float gWhites;
    float gBlacks;
    MASKED_PASS_CONSTANTS
};

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float3 g = c.rgb * exp2(gExposure);
    g = (g - 0.5) * (1.0 + gContrast) + 0.5;
    float l = saturate(luminance(g));
    float shadows = 1.0 - smoothstep(0.0, 0.5, l);
    float highlights = smoothstep(0.5, 1.0, l);
    float blacks = 1.0 - smoothstep(0.0, 0.25, l);
    float whites = smoothstep(0.75, 1.0, l);
    g += 0.25 * (gHighlights * highlights + gShadows * shadows + gWhites * whites + gBlacks * blacks);
    g = max(g, 0.0);
    return maskedGrade(c, g, uv, gMaskImageConnected);
}
)";

// The hue-range grade as it picked its two ranges by indexing an array with the pixel's hue.
const char* const kOldCCColor = R"(#include "common/maskedPass.hlsli"
cbuffer CCColorConstants : register(b0)
{
    float4 gRed;
    float4 gOrange;
    float4 gYellow;
    float4 gGreen;
    float4 gAqua;
    float4 gBlue;
    float4 gPurple;
    float4 gMagenta;
    MASKED_PASS_CONSTANTS
};

static const float kCentres[9] = {0.0, 30.0, 60.0, 120.0, 180.0, 240.0, 270.0, 300.0, 360.0};

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float3 rangeShift(int i)
{
    float4 ranges[8] = {gRed, gOrange, gYellow, gGreen, gAqua, gBlue, gPurple, gMagenta};
    return ranges[i & 7].xyz;
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float hue = hueDegrees(c.rgb);
    int k = 0;
    [unroll]
    for (int j = 1; j < 8; ++j)
        if (hue >= kCentres[j])
            k = j;
    float t = (hue - kCentres[k]) / (kCentres[k + 1] - kCentres[k]);
    float3 shift = rangeShift(k) * (1.0 - t) + rangeShift(k + 1) * t;
    float3 g = shiftHsl(c.rgb, shift.x, shift.y, shift.z * hsvSaturation(c.rgb));
    return maskedGrade(c, g, uv, gMaskImageConnected);
}
)";

// The colour correction as it raised every pixel to the power, whatever the power.
const char* const kOldColorCorrection = R"(#include "common/fullscreen.hlsli"
#include "common/color.hlsli"
cbuffer ColorCorrectionConstants : register(b0)
{
    float4 gPreAdd;
    float4 gMul;
    float4 gPow;
    float4 gPostAdd;
    float4 gPostMul;
    float4 gMin;
    float4 gMax;
    float gSaturation;
    float gPreview;
    float2 gRegionScale;
    float2 gRegionOffset;
    float2 gScreenSize;
};

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float4 c = gSource.Sample(gSourceSampler, regionToSource(i.uv, gRegionScale, gRegionOffset));
    float3 g = (c.rgb + gPreAdd.rgb) * gMul.rgb;
    g = g > 0.0 ? pow(max(g, 1e-30), gPow.rgb) : 0.0;  // zero and below stay zero
    g = (g + gPostAdd.rgb) * gPostMul.rgb;
    float l = luminance(g);
    g = l + (g - l) * gSaturation;
    g = clamp(g, gMin.rgb, gMax.rgb);
    if (gPreview > 0.5)
    {
        float x = i.uv.x * gScreenSize.x;
        float middle = 0.5 * gScreenSize.x;
        if (abs(x - middle) < 0.5)
            g = 1.0;
        else if (x > middle)
            g = c.rgb;
    }
    return float4(g, c.a);
}
)";

// The tone mapping with the exact sRGB curve (a pow per channel).
const char* const kOldToneMapping = R"(#include "common/fullscreen.hlsli"
#include "common/color.hlsli"
cbuffer ToneMappingConstants : register(b0)
{
    float gExposure;
    float gSharpen;
    float2 gRegionScale;
    float2 gRegionOffset;
};

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);

FullscreenVertex mainVS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

// Narkowicz's fit of the ACES reference rendering transform; rises monotonically and
// shoulders off towards white.
float3 acesFilm(float3 x)
{
    x = max(x, 0.0);
    return saturate((x * (2.51 * x + 0.03)) / (x * (2.43 * x + 0.59) + 0.14));
}

float4 mainPS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.SampleLevel(gSourceSampler, uv, 0);
    float3 rgb = c.rgb;
    if (gSharpen != 0.0)
    {
        float w, h;
        gSource.GetDimensions(w, h);
        float2 texel = 1.0 / float2(w, h);
        float3 around = gSource.SampleLevel(gSourceSampler, uv + float2(texel.x, 0), 0).rgb
                      + gSource.SampleLevel(gSourceSampler, uv - float2(texel.x, 0), 0).rgb
                      + gSource.SampleLevel(gSourceSampler, uv + float2(0, texel.y), 0).rgb
                      + gSource.SampleLevel(gSourceSampler, uv - float2(0, texel.y), 0).rgb;
        rgb = max(rgb + gSharpen * (rgb - around * 0.25), 0.0);
    }
    return float4(linearToSrgb(acesFilm(rgb * gExposure)), c.a);
}
)";

// The HSL and split-toning grades as they computed their per-frame values on every pixel.
const char* const kOldCCHSL = R"(#include "common/maskedPass.hlsli"

cbuffer CCHSLConstants : register(b0)
{
    float4 gHSL;  // hue (degrees), saturation, luminance, 0
    MASKED_PASS_CONSTANTS
};

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float3 g = shiftHsl(c.rgb, gHSL.x, gHSL.y, gHSL.z);
    return maskedGrade(c, g, uv, gMaskImageConnected);
}
)";

const char* const kOldCCSplitToning = R"(#include "common/maskedPass.hlsli"

cbuffer CCSplitToningConstants : register(b0)
{
    float4 gHi;
    float gHiInfluence;
    float gBalance;
    float4 gLo;
    float gLoInfluence;
    MASKED_PASS_CONSTANTS
};

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 uv = regionToSource(i.uv, gRegionScale, gRegionOffset);
    float4 c = gSource.Sample(gSourceSampler, uv);
    float highlight = saturate(luminance(c.rgb) - gBalance + 0.5);
    float3 g = c.rgb + highlight * gHiInfluence * (gHi.rgb - luminance(gHi.rgb))
                     + (1.0 - highlight) * gLoInfluence * (gLo.rgb - luminance(gLo.rgb));
    g = max(g, 0.0);
    return maskedGrade(c, g, uv, gMaskImageConnected);
}
)";

// FXAA with every read filtered, the region from constants on every pixel and the walk's
// first step before its loop.
const char* const kOldFxaa = R"(#include "common/fullscreen.hlsli"
#include "common/color.hlsli"

cbuffer FxaaConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
};

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);

static const float kEdgeThreshold = 0.125;     // of the local maximum luma
static const float kEdgeThresholdMin = 0.0312; // darker contrasts are left alone
static const float kSubpixel = 0.75;
static const int kSearchSteps = 10;
static const float kStepSizes[kSearchSteps] = {1.0, 1.0, 1.0, 1.5, 2.0, 2.0, 2.0, 2.0, 4.0, 8.0};

FullscreenVertex mainVS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

struct Region
{
    float2 lo, hi;  // texel centres at the region's edges
};

float4 fetch(float2 uv, Region r)
{
    return gSource.SampleLevel(gSourceSampler, clamp(uv, r.lo, r.hi), 0);
}

float lumaAt(float2 uv, Region r)
{
    return sqrt(max(luminance(saturate(fetch(uv, r).rgb)), 0.0));
}

float4 mainPS(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gSource.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    Region r;
    r.lo = gRegionOffset + 0.5 * texel;
    r.hi = gRegionOffset + gRegionScale - 0.5 * texel;
    float2 uv = clamp(regionToSource(i.uv, gRegionScale, gRegionOffset), r.lo, r.hi);

    float4 centre = fetch(uv, r);
    float lM = sqrt(max(luminance(saturate(centre.rgb)), 0.0));
    float lN = lumaAt(uv + float2(0, -texel.y), r);
    float lS = lumaAt(uv + float2(0, texel.y), r);
    float lW = lumaAt(uv + float2(-texel.x, 0), r);
    float lE = lumaAt(uv + float2(texel.x, 0), r);
    float lMax = max(lM, max(max(lN, lS), max(lW, lE)));
    float lMin = min(lM, min(min(lN, lS), min(lW, lE)));
    float range = lMax - lMin;
    if (range < max(kEdgeThresholdMin, lMax * kEdgeThreshold))
        return centre;

    float lNW = lumaAt(uv + float2(-texel.x, -texel.y), r);
    float lNE = lumaAt(uv + float2(texel.x, -texel.y), r);
    float lSW = lumaAt(uv + float2(-texel.x, texel.y), r);
    float lSE = lumaAt(uv + float2(texel.x, texel.y), r);

    // Sub-pixel aliasing: how far the centre is from its neighbourhood's average.
    float average = (2.0 * (lN + lS + lW + lE) + lNW + lNE + lSW + lSE) / 12.0;
    float subpixel = smoothstep(0.0, 1.0, saturate(abs(average - lM) / range));
    subpixel = subpixel * subpixel * kSubpixel;

    // Second differences across rows and columns: a horizontal edge changes along y.
    float edgeH = abs(lNW + lSW - 2.0 * lW) + 2.0 * abs(lN + lS - 2.0 * lM) + abs(lNE + lSE - 2.0 * lE);
    float edgeV = abs(lNW + lNE - 2.0 * lN) + 2.0 * abs(lW + lE - 2.0 * lM) + abs(lSW + lSE - 2.0 * lS);
    bool horizontal = edgeH >= edgeV;

    // Which side of the pixel the edge lies on.
    float l1 = horizontal ? lN : lW;
    float l2 = horizontal ? lS : lE;
    float g1 = l1 - lM, g2 = l2 - lM;
    bool towardsFirst = abs(g1) >= abs(g2);
    float gradient = max(abs(g1), abs(g2));
    float across = horizontal ? texel.y : texel.x;
    if (towardsFirst)
        across = -across;
    float localAverage = 0.5 * ((towardsFirst ? l1 : l2) + lM);

    // Walk along the edge, half a texel towards it, until the luma leaves the edge's.
    float2 onEdge = uv;
    if (horizontal)
        onEdge.y += 0.5 * across;
    else
        onEdge.x += 0.5 * across;
    float2 along = horizontal ? float2(texel.x, 0) : float2(0, texel.y);
    float2 posN = onEdge - along, posP = onEdge + along;
    float endN = lumaAt(posN, r) - localAverage;
    float endP = lumaAt(posP, r) - localAverage;
    float scaled = gradient * 0.25;
    bool doneN = abs(endN) >= scaled, doneP = abs(endP) >= scaled;
    [loop]
    for (int k = 1; k < kSearchSteps && !(doneN && doneP); ++k)
    {
        if (!doneN)
        {
            posN -= along * kStepSizes[k];
            endN = lumaAt(posN, r) - localAverage;
            doneN = abs(endN) >= scaled;
        }
        if (!doneP)
        {
            posP += along * kStepSizes[k];
            endP = lumaAt(posP, r) - localAverage;
            doneP = abs(endP) >= scaled;
        }
    }
    float distN = horizontal ? uv.x - posN.x : uv.y - posN.y;
    float distP = horizontal ? posP.x - uv.x : posP.y - uv.y;
    bool nearerN = distN < distP;
    float span = distN + distP;
    // Only shift when the nearer end really ends this edge (its luma lies on the other side).
    bool centreBelow = lM - localAverage < 0.0;
    bool good = ((nearerN ? endN : endP) < 0.0) != centreBelow;
    float edgeOffset = good ? 0.5 - min(distN, distP) / max(span, 1e-6) : 0.0;
    float offset = max(edgeOffset, subpixel);

    float2 shifted = uv;
    if (horizontal)
        shifted.y += offset * across;
    else
        shifted.x += offset * across;
    return float4(fetch(shifted, r).rgb, centre.a);
}
)";

// The old text with a constant-buffer member of the given type turned into a fixed value.
std::string withFixed(std::string text, const std::string& type, const std::string& member, const std::string& value) {
  const std::string declaration = "    " + type + " " + member + ";\n";
  const size_t at = text.find(declaration);
  EXPECT_NE(at, std::string::npos) << member;
  if (at != std::string::npos) text.erase(at, declaration.size());
  return "static const " + type + " " + member + " = " + value + ";\n" + text;
}
std::string withFixed(std::string text, const std::string& member, float value) {
  return withFixed(std::move(text), "float", member, std::to_string(value));
}

// A picture with detail at every scale and a few highlights well above 1.
std::vector<Pixel> testPicture(uint32_t size) {
  std::vector<Pixel> p(size_t(size) * size);
  for (uint32_t y = 0; y < size; ++y)
    for (uint32_t x = 0; x < size; ++x) {
      const float base = 0.5f + 0.35f * std::sin(float(x) * 0.9f) * std::cos(float(y) * 0.4f);
      const float spot = ((x * 7 + y * 13) % 31 == 0) ? 5.0f : 0.0f;
      p[size_t(y) * size + x] = Pixel{base + spot, base * 0.7f, 1.0f - base * 0.5f, 1.0f};
    }
  return p;
}

// SSAO as it read its offsets, projection and fade from constants on every pixel and chose
// how to rebuild positions there.
const char* const kOldSSAO = R"(#include "common/fullscreen.hlsli"
#include "common/gbuffer.hlsli"

cbuffer SSAOConstants : register(b0)
{
    float4 gFrustumCorner;  // far-plane corner in view space (x right, y up, z = far)
    float4 gOffsets[14];
    float4x4 gProj;
    float2 gScreenSize;     // viewport size in pixels
    float gOcclusionFadeEnd;
    float gOcclusionFadeStart;
    float gOcclusionRadius;
    float gSurfaceEpsilon;
    float gOcclusionPower;
    float2 gRegionScale;
    float2 gRegionOffset;
};

// Normal and linear depth of G-buffer image 1, through the shared decoding.
float3 normalOf(float4 normalDepth)
{
    return decodeGBuffer(0, normalDepth, 0, 0, 0).viewNormal;
}

float depthOf(float4 normalDepth)
{
    return decodeGBuffer(0, normalDepth, 0, 0, 0).viewDepth;
}

bool hasSurface(float depth)
{
    return depth < kGBufferNothing * 0.5;
}

Texture2D gNormalDepth : register(t0);
Texture2D gRandomVectors : register(t1);
SamplerState gNormalSampler : register(s0);
SamplerState gRandomSampler : register(s1);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 gbufferAt(float2 uvOverRegion)
{
    return gNormalDepth.SampleLevel(gNormalSampler, regionToSource(uvOverRegion, gRegionScale, gRegionOffset), 0);
}

// The pixel's view-space position: the far-plane point of its ray scaled to its depth. A
// corner that cannot be scaled (a far plane of 0, or one so large that the corner
// overflows) leaves the projection to place it.
float3 viewPositionFromCorner(float2 uv, float depth)
{
    float4 c = gFrustumCorner;
    if (!(abs(c.z) > 0.0) || any(isinf(c.xyz)) || any(isnan(c.xyz)))
        return viewPositionFromLinearDepth(uv, depth, gProj);
    float2 ndc = viewportUvToNdc(uv);
    return float3(ndc * c.xy, c.z) * (depth / c.z);
}

float occlusionOver(float distZ)
{
    if (distZ <= gSurfaceEpsilon)
        return 0.0;
    return saturate((gOcclusionFadeEnd - distZ) / max(gOcclusionFadeEnd - gOcclusionFadeStart, 1e-5));
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float4 nd = gbufferAt(i.uv);
    float depth = depthOf(nd);
    if (!hasSurface(depth))
        return float4(1, 1, 1, 1);
    float3 n = normalize(normalOf(nd));
    float3 p = viewPositionFromCorner(i.uv, depth);

    float3 random = gRandomVectors.SampleLevel(gRandomSampler, i.uv * gScreenSize / 4.0, 0).rgb * 2.0 - 1.0;
    random = dot(random, random) > 1e-6 ? normalize(random) : float3(0, 0, 1);

    float occlusion = 0.0;
    [unroll]
    for (int k = 0; k < 14; ++k)
    {
        float3 offset = reflect(gOffsets[k].xyz, random);
        float flip = dot(offset, n) < 0.0 ? -1.0 : 1.0;
        float3 q = p + flip * gOcclusionRadius * offset;
        float4 h = mul(float4(q, 1.0), gProj);
        float2 quv = float2(h.x / h.w * 0.5 + 0.5, 0.5 - h.y / h.w * 0.5);
        if (any(quv < 0.0) || any(quv > 1.0))
            continue;  // off the picture: nothing known there
        float rz = depthOf(gbufferAt(quv));
        if (!hasSurface(rz) || q.z <= 0.0)
            continue;
        float3 r = (rz / q.z) * q;
        float distZ = p.z - r.z;
        float facing = max(dot(n, normalize(r - p + 1e-6)), 0.0);
        occlusion += facing * occlusionOver(distZ);
    }
    float access = 1.0 - occlusion / 14.0;
    float ao = saturate(pow(saturate(access), gOcclusionPower));
    return float4(ao, ao, ao, 1.0);
}
)";

// Depth of field as it drew both blurs over every pixel, reading their centres filtered, with
// the entries the manager now also loads from the file written so that it draws as before:
// the second blur's full-screen triangle (the vertices after the third collapse onto its last
// corner) and a block pass that nothing reads.
const char* const kOldDOF = R"(
// Depth of field with hexagonal bokeh. The circle of confusion is linear in the depth-buffer
// value (coc = depth * gCoCScale + gCoCBias, in pixels of a 1080-line picture). PSCalcCoCSize
// stores colour and blur radius; the hexagon is then gathered as three rhombi with two
// passes of one-directional blurs (up, down-left, down-right: pass 0 writes the upward blur
// and upward + down-left into two targets, pass 1 blurs them down-left and down-right and
// averages the three), and PSCombine blends the blurred picture in where the circle is
// larger than a pixel. A sample only counts where its own circle reaches the pixel, so
// sharp things do not smear into their blurred surroundings.
#include "data/shaders/common/fullscreen.hlsli"

cbuffer DOFConstants : register(b0)
{
    float gCoCScale;
    float gCoCBias;
};

Texture2D gInput0 : register(t0);
Texture2D gInput1 : register(t1);
SamplerState gSampler0 : register(s0);
SamplerState gSampler1 : register(s1);

static const float kMaxRadius = 32.0;  // pixels of a 1080-line picture
static const int kTaps = 8;
static const float2 kUp = float2(0.0, -1.0);
static const float2 kDownLeft = float2(-0.8660254, 0.5);
static const float2 kDownRight = float2(0.8660254, 0.5);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 PSCalcCoCSize(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gInput0.GetDimensions(w, h);
    float4 colour = gInput0.Sample(gSampler0, i.uv);
    float depth = gInput1.Sample(gSampler1, i.uv).r;
    float coc = clamp(abs(depth * gCoCScale + gCoCBias), 0.0, kMaxRadius);
    return float4(colour.rgb, coc * h / 1080.0);  // alpha: radius in pixels of this picture
}

// The mean along one direction over the centre's circle; alpha carries the centre's radius.
float4 blurAlong(Texture2D input, SamplerState s, float2 uv, float2 direction)
{
    float w, h;
    input.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float4 centre = input.SampleLevel(s, uv, 0);
    float radius = centre.a;
    float3 sum = 0;
    float weights = 0;
    for (int k = 0; k < kTaps; ++k)
    {
        float d = (float(k) + 0.5) / float(kTaps) * radius;
        float4 tap = input.SampleLevel(s, uv + direction * d * texel, 0);
        float weight = saturate(tap.a - d + 1.0);
        sum += tap.rgb * weight;
        weights += weight;
    }
    return float4(weights > 0.0 ? sum / weights : centre.rgb, radius);
}

struct HexTargets
{
    float4 vertical : SV_TARGET0;
    float4 verticalAndDiagonal : SV_TARGET1;
};

HexTargets PSHexBlurPass0(FullscreenVertex i)
{
    HexTargets o;
    float4 up = blurAlong(gInput0, gSampler0, i.uv, kUp);
    float4 downLeft = blurAlong(gInput0, gSampler0, i.uv, kDownLeft);
    o.vertical = up;
    o.verticalAndDiagonal = float4(up.rgb + downLeft.rgb, up.a);
    return o;
}

float4 PSHexBlurPass1(FullscreenVertex i) : SV_TARGET
{
    float4 a = blurAlong(gInput0, gSampler0, i.uv, kDownLeft);
    float4 b = blurAlong(gInput1, gSampler1, i.uv, kDownRight);
    return float4((a.rgb + b.rgb) / 3.0, a.a);
}

float4 PSCombine(FullscreenVertex i) : SV_TARGET
{
    float4 sharp = gInput0.Sample(gSampler0, i.uv);
    float4 blurred = gInput1.Sample(gSampler1, i.uv);
    float amount = saturate(blurred.a - 0.5);
    return float4(lerp(sharp.rgb, blurred.rgb, amount), sharp.a);
}

FullscreenVertex TileVS(uint id : SV_VertexID) { return fullscreenTriangle(min(id, 2u)); }
float4 PSBlockRadius(FullscreenVertex i) : SV_TARGET { return 0.0; }
)";

}  // namespace

namespace {

// Focuses the depth of field at 1 (aperture 2) and returns the depth-buffer value that gives a
// circle of c pixels beyond the focus on an n-line picture: the manager's circle of
// confusion is linear in that value, in pixels of a 1080-line picture.
std::function<float(float)> focusAtOne(DOFBlock& dof, uint32_t n, float zNear, float zFar) {
  dof.focalLength = 0.45f;
  dof.focalPlane = 1.0f;
  dof.aperture = 2.0f;
  const float f = dof.focalLength, p = dof.focalPlane, a = dof.aperture;
  const float scale = (p * f * a * (zFar - zNear)) / ((p - f) * zNear * zFar) * 53.76344f;
  const float bias = ((zNear - p) * f * a) / ((p - f) * zNear) * 53.76344f;
  return [=](float c) { return (c * 1080.0f / float(n) - bias) / scale; };
}

}  // namespace

class PassBudgetGpuTest : public PostGpuTest {
 protected:
  explicit PassBudgetGpuTest(uint32_t side = 64) : PostGpuTest(side) {}

  // What the depth-of-field tests draw with, on the whole screen: the depth of their circles,
  // a depth far beyond the focus, the test picture, a uniform picture for the frame before, and
  // the output.
  struct DofPictures {
    Texture *near, *far, *source, *other, *out;
    Viewport vp;
  };
  DofPictures dofPictures(const std::vector<Pixel>& depth) {
    const uint32_t n = size();
    return {picture(depth),
            picture(std::vector<Pixel>(size_t(n) * n, Pixel{1, 0, 0, 0})),
            picture(testPicture(n)),
            uniform({5, 0, 5, 1}),
            texture(format::RGBA16F, n, n, 0x10049),
            Viewport{0, 0, int32_t(n), int32_t(n)}};
  }

  // A program of the manager's pass state from shader text.
  std::unique_ptr<ShaderProgram> program(const std::string& text, const char* pixelEntry, const ShaderProgram* like,
                                         const char* vertexEntry = "VS") {
    auto p = std::make_unique<ShaderProgram>(device());
    const std::string name = "replaced" + std::to_string(++compiled_);
    for (auto [stage, entry] : {std::pair<uint32_t, const char*>{0, vertexEntry}, {4, pixelEntry}}) {
      blobs_.push_back(compileShader(stage, kStageProfile[stage], text, entry, "data/shaders/replaced.hlsl"));
      if (!blobs_.back() || !p->attachStage(stage, *blobs_.back(), name + entry)) {
        ADD_FAILURE() << "the replaced shader does not compile: " << lastCompileError();
        return nullptr;
      }
    }
    p->state = like ? like->state : nullptr;
    return p;
  }

  // A valley in the G-buffer's normal and depth under a band of sky (rows above n / 8).
  void uploadValley() {
    const uint32_t n = size();
    const float t = std::tan(22.5f * 0.017453292f);
    std::vector<Pixel> valley(size_t(n) * n);
    for (uint32_t y = 0; y < n; ++y)
      for (uint32_t x = 0; x < n; ++x) {
        const float ndcX = (float(x) + 0.5f) / float(n) * 2.0f - 1.0f;
        const float slope = 1.5f, len = std::sqrt(1.0f + slope * slope);
        const float z = 3.0f / (1.0f + slope * t * std::fabs(ndcX));
        const float side = ndcX < 0 ? 1.0f : -1.0f;
        valley[size_t(y) * n + x] = y < n / 8 ? Pixel{0, 0, 0, 65504.0f} : Pixel{side * slope / len, 0.0f, -1.0f / len, z};
      }
    upload(context.gbuffer[1], valley);
  }

  // Draws with the manager's point sampler standing in for `filtered`: what the passes that
  // now pick point reads drew before.
  std::vector<Pixel> drawFiltered(Sampler* filtered, const char* type, Texture* source,
                                  const std::vector<std::pair<const char*, float>>& params) {
    Sampler* point = manager->pointClamp;
    Sampler* pointWrap = manager->pointWrap;
    manager->pointClamp = filtered;
    manager->pointWrap = filtered;
    std::vector<Pixel> out = draw(type, source, params);
    manager->pointClamp = point;
    manager->pointWrap = pointWrap;
    return out;
  }

  // The effect of `type` with parameters set, drawn on `source`.
  std::vector<Pixel> draw(const char* type, Texture* source, const std::vector<std::pair<const char*, float>>& params) {
    Operator& op = effect(type);
    for (const auto& [name, value] : params) setParam(op, name, value);
    Texture* out = apply(op, source);
    EXPECT_NE(out, nullptr) << type;
    return out ? pixels(out) : std::vector<Pixel>{};
  }

 private:
  std::vector<std::unique_ptr<ShaderBlob>> blobs_;
  int compiled_ = 0;
};

TEST_F(PassBudgetGpuTest, GaussBlurWithWeightsFromTheCpuShowsWhatThePerPixelWeightsShowed) {
  Texture* source = picture(testPicture(size()));
  // 0.3 pixels here (a copy), 7 pixels (four fetches a side), 18 pixels (eight, spaced out).
  for (float radius : {5.0f, 120.0f, 300.0f}) {
    const std::vector<std::pair<const char*, float>> params{{"Radius", radius}, {"Intensity", 1.5f}};
    const std::vector<Pixel> now = draw("GaussBlur", source, params);
    const std::string old = withFixed(kOldGaussBlur, "gRadius", radius);
    auto h = program(old, "PSHorizontal", manager->gaussBlur.horizontal.get());
    auto v = program(old, "PSVertical", manager->gaussBlur.vertical.get());
    ASSERT_TRUE(h && v);
    std::swap(manager->gaussBlur.horizontal.program, h);
    std::swap(manager->gaussBlur.vertical.program, v);
    const std::vector<Pixel> before = draw("GaussBlur", source, params);
    std::swap(manager->gaussBlur.horizontal.program, h);
    std::swap(manager->gaussBlur.vertical.program, v);
    EXPECT_GE(psnr(before, now), 60.0) << "radius " << radius;
  }
}

TEST_F(PassBudgetGpuTest, BloomWithWeightsFromTheCpuShowsWhatThePerPixelWeightsShowed) {
  Texture* source = picture(testPicture(size()));
  // On the 32-line bloom targets: 0.3 pixels (a copy) and 9 pixels; X and Y differ.
  for (float radius : {10.0f, 300.0f}) {
    const std::vector<std::pair<const char*, float>> params{{"RadiusX", radius}, {"RadiusY", radius * 0.6f}};
    const std::vector<Pixel> now = draw("Bloom", source, params);
    auto v = program(withFixed(kOldBloomBlur, "gBloomRadius", radius * 0.6f), "PSVertical", manager->bloom.blurV.get());
    auto h = program(withFixed(kOldBloomBlur, "gBloomRadius", radius), "PSHorizontal", manager->bloom.blurH.get());
    ASSERT_TRUE(h && v);
    std::swap(manager->bloom.blurV.program, v);
    std::swap(manager->bloom.blurH.program, h);
    const std::vector<Pixel> before = draw("Bloom", source, params);
    std::swap(manager->bloom.blurV.program, v);
    std::swap(manager->bloom.blurH.program, h);
    EXPECT_GE(psnr(before, now), 60.0) << "radius " << radius;
  }
}

TEST_F(PassBudgetGpuTest, AGradeWithoutAMaskSkipsTheMaskFetchAndChangesNothing) {
  Texture* source = picture(testPicture(size()));
  std::vector<Pixel> maskPixels(size_t(size()) * size());
  for (size_t i = 0; i < maskPixels.size(); ++i) maskPixels[i] = Pixel{float(i % 64) / 63.0f, 0.5f, 0.2f, 1.0f};
  Texture* mask = picture(maskPixels);
  const std::vector<std::pair<const char*, float>> params{{"Exposure", 0.4f}, {"Contrast", 0.3f}, {"Shadows", 0.5f}};
  auto grade = [&](bool masked) {
    Operator& op = effect("CCTone");
    for (const auto& [name, value] : params) setParam(op, name, value);
    if (masked) feed(pictureOp(mask), op, "MaskIn");
    Texture* out = apply(op, source);
    EXPECT_NE(out, nullptr);
    return out ? pixels(out) : std::vector<Pixel>{};
  };
  const std::vector<Pixel> nowPlain = grade(false), nowMasked = grade(true);
  auto old = program(kOldCCTone, "PS", manager->ccTone.program.get());
  ASSERT_TRUE(old);
  std::swap(manager->ccTone.program.program, old);
  const std::vector<Pixel> beforePlain = grade(false), beforeMasked = grade(true);
  std::swap(manager->ccTone.program.program, old);
  EXPECT_EQ(psnr(beforePlain, nowPlain), 1e9);
  EXPECT_EQ(psnr(beforeMasked, nowMasked), 1e9);
  EXPECT_LT(psnr(nowPlain, nowMasked), 40.0);  // the mask still works
}

// Passes over the whole target no longer clear it first: every pixel must still be drawn,
// whatever the target held.
TEST_F(PassBudgetGpuTest, AWholeTargetPassLeavesNothingOfWhatItsTargetHeld) {
  const float stale[4] = {9.0f, -3.0f, 7.0f, 2.0f};
  for (Texture* slot : context.targets->ring->slots)
    if (slot) clearTexture(device(), slot, stale);
  for (Texture* t : {manager->gaussBlur.intermediate, manager->bloom.bA, manager->bloom.bB})
    clearTexture(device(), t, stale);
  Texture* grey = uniform(Pixel{0.25f, 0.25f, 0.25f, 1.0f});
  for (const char* type : {"Invert", "GaussBlur", "Bloom", "CCTone"}) {
    const std::vector<Pixel> out = draw(type, grey, {});
    ASSERT_FALSE(out.empty());
    for (const Pixel& p : out) {
      ASSERT_NEAR(p.r, out[0].r, 1e-3) << type;
      ASSERT_LT(p.r, 2.0f) << type;
      ASSERT_GE(p.g, 0.0f) << type;
    }
  }
}

TEST_F(PassBudgetGpuTest, HueRangeGradeWithoutPerPixelIndexingShowsWhatItShowed) {
  Texture* source = picture(testPicture(size()));
  // Every range shifted differently, so that a wrong pair of ranges shows.
  const char* const ranges[] = {"Red", "Orange", "Yellow", "Green", "Aqua", "Blue", "Purple", "Magenta"};
  std::vector<std::pair<std::string, float>> params;
  for (int i = 0; i < 8; ++i) {
    params.push_back({std::string(ranges[i]) + " HUE", float(i * 7 - 20)});
    params.push_back({std::string(ranges[i]) + " Saturation", float(i) * 0.1f - 0.3f});
    params.push_back({std::string(ranges[i]) + " Luminance", float(7 - i) * 0.05f - 0.1f});
  }
  auto grade = [&] {
    Operator& op = effect("CCColor");
    for (const auto& [name, value] : params) setParam(op, name, value);
    Texture* out = apply(op, source);
    EXPECT_NE(out, nullptr);
    return out ? pixels(out) : std::vector<Pixel>{};
  };
  const std::vector<Pixel> now = grade();
  auto old = program(kOldCCColor, "PS", manager->ccColor.program.get());
  ASSERT_TRUE(old);
  std::swap(manager->ccColor.program.program, old);
  const std::vector<Pixel> before = grade();
  std::swap(manager->ccColor.program.program, old);
  EXPECT_GE(psnr(before, now), 60.0);
  EXPECT_LT(psnr(pixels(source), now), 40.0);  // the grade does change the picture
}

// Ranges that all turn the hue alike take the turn's sine and cosine from the vertex stage;
// one range turning differently sends every pixel back to its own turn.
TEST_F(PassBudgetGpuTest, HueRangesTurningTheHueAlikeShowWhatThePerPixelTurnShowed) {
  Texture* source = picture(testPicture(size()));
  const char* const ranges[] = {"Red", "Orange", "Yellow", "Green", "Aqua", "Blue", "Purple", "Magenta"};
  auto grade = [&](float hue, float redHue, const ShaderProgram* expected) {
    Operator& op = effect("CCColor");
    for (int i = 0; i < 8; ++i) {
      setParam(op, std::string(ranges[i]) + " HUE", i == 0 ? redHue : hue);
      setParam(op, std::string(ranges[i]) + " Saturation", float(i) * 0.1f - 0.3f);
      setParam(op, std::string(ranges[i]) + " Luminance", float(7 - i) * 0.05f - 0.1f);
    }
    ProgramTrace trace;
    manager->trace = &trace;
    Texture* out = apply(op, source);
    manager->trace = nullptr;
    EXPECT_NE(out, nullptr);
    EXPECT_EQ(std::count(trace.runs.begin(), trace.runs.end(), expected), 1) << hue << " " << redHue;
    return out ? pixels(out) : std::vector<Pixel>{};
  };
  CCColorBlock& b = manager->ccColor;
  for (float hue : {0.0f, 25.0f, -140.0f}) {
    const std::vector<Pixel> now = grade(hue, hue, b.sameHue.get());
    std::unique_ptr<ShaderProgram> sameHue = std::move(b.sameHue.program);
    const std::vector<Pixel> before = grade(hue, hue, b.program.get());
    b.sameHue.program = std::move(sameHue);
    ASSERT_EQ(now.size(), before.size());
    float worst = 0.0f;
    for (size_t i = 0; i < now.size(); ++i)
      worst = std::max({worst, std::abs(now[i].r - before[i].r), std::abs(now[i].g - before[i].g),
                        std::abs(now[i].b - before[i].b), std::abs(now[i].a - before[i].a)});
    EXPECT_LT(worst, 1e-3f) << hue;  // a half-float step at 1; a wrong turn moves colours by tenths
    EXPECT_LT(psnr(pixels(source), now), 40.0) << hue;  // the grade does change the picture
  }
  grade(25.0f, 24.0f, b.program.get());
}

// The pre-add, post-add, post-multiply and saturation now reach the shader folded into
// one multiply-add and one affine map; the old text gets them as fixed values.
TEST_F(PassBudgetGpuTest, ColourCorrectionWithFoldedLevelsShowsWhatItShowedAtEveryPower) {
  Texture* source = picture(testPicture(size()));
  for (float power : {1.0f, 0.6f}) {
    const std::vector<std::pair<const char*, float>> params{
        {"R Pre Add", -0.1f}, {"G Mul", 1.3f},       {"R Pow", power},    {"G Pow", power},
        {"B Pow", power},     {"B Post Add", 0.05f}, {"R Post Mul", 0.9f}, {"Saturation", 1.2f},
        {"R Max", 4.0f},      {"G Max", 4.0f},       {"B Max", 4.0f}};
    const std::vector<Pixel> now = draw("ColorCorrection", source, params);
    std::string text = withFixed(kOldColorCorrection, "float4", "gPreAdd", "float4(-0.1, 0, 0, 0)");
    text = withFixed(text, "float4", "gPostAdd", "float4(0, 0, 0.05, 0)");
    text = withFixed(text, "float4", "gPostMul", "float4(0.9, 1, 1, 0)");
    text = withFixed(text, "gSaturation", 1.2f);
    auto old = program(text, "PS", manager->colorCorrection.program.get());
    ASSERT_TRUE(old);
    PassProgram& used = power == 1.0f ? manager->colorCorrection.program : manager->colorCorrection.withPower;
    std::swap(used.program, old);
    const std::vector<Pixel> before = draw("ColorCorrection", source, params);
    std::swap(used.program, old);
    EXPECT_GE(psnr(before, now), 60.0) << "power " << power;
    EXPECT_LT(psnr(pixels(source), now), 40.0) << "power " << power;  // the grade does change the picture
  }
}

// Display-referred output, peak 1: the fit is within 0.001 of the exact curve (a quarter of
// an 8-bit step), about 80 dB over a uniform ramp; 55 dB leaves room for the filmic curve
// spending more pixels in the dark end.
TEST_F(PassBudgetGpuTest, ToneMappingWithTheSquareRootCurveShowsWhatThePowCurveShowed) {
  std::vector<Pixel> ramp(size_t(size()) * size());
  for (size_t i = 0; i < ramp.size(); ++i) {
    const float v = std::pow(float(i) / float(ramp.size()), 3.0f) * 8.0f;  // dense in the dark end
    ramp[i] = Pixel{v, v * 0.5f, v * 0.05f, 1.0f};
  }
  Texture* source = picture(ramp);
  for (float sharpen : {0.0f, 0.5f}) {
    const std::vector<std::pair<const char*, float>> params{{"Exposure", 1.3f}, {"Sharpen", sharpen}};
    const std::vector<Pixel> now = draw("ToneMapping", source, params);
    auto old = program(kOldToneMapping, "mainPS", manager->toneMapping.program.get(), "mainVS");
    ASSERT_TRUE(old);
    PassProgram& used = sharpen == 0.0f ? manager->toneMapping.program : manager->toneMapping.sharpened;
    std::swap(used.program, old);
    const std::vector<Pixel> before = draw("ToneMapping", source, params);
    std::swap(used.program, old);
    EXPECT_GE(psnr(before, now), 55.0) << "sharpen " << sharpen;
    if (sharpen == 0.0f) {
      for (size_t i = 1; i < now.size(); ++i) ASSERT_GE(now[i].r + 1e-3f, now[i - 1].r) << i;  // still rising
    }
  }
}

// Grades whose per-frame values now come from the vertex shader: the same sums in another
// order, so at least 60 dB, with and without a mask.
TEST_F(PassBudgetGpuTest, GradesWithValuesFromTheVertexShaderShowWhatTheyShowed) {
  Texture* source = picture(testPicture(size()));
  std::vector<Pixel> maskPixels(size_t(size()) * size());
  for (size_t i = 0; i < maskPixels.size(); ++i) maskPixels[i] = Pixel{float(i % 61) / 60.0f, 0.7f, 0.1f, 1.0f};
  Texture* mask = picture(maskPixels);
  struct Case {
    const char* type;
    const char* oldText;
    PassProgram& program;
    std::vector<std::pair<const char*, float>> params;
  };
  const Case cases[] = {
      {"CCHSL", kOldCCHSL, manager->ccHSL.program, {{"HUE", 40.0f}, {"Saturation", 0.3f}, {"Luminance", -0.2f}}},
      {"CCSplitToning", kOldCCSplitToning, manager->ccSplitToning.program,
       {{"Hi G", 0.6f}, {"Hi B", 0.2f}, {"Lo B", 0.9f}, {"Balance", 0.3f}, {"Hi Influence", 0.8f}}},
      {"CCTone", kOldCCTone, manager->ccTone.program,
       {{"Exposure", 0.4f}, {"Contrast", 0.3f}, {"Highlights", -0.4f}, {"Shadows", 0.5f}, {"Whites", 0.2f}, {"Blacks", -0.1f}}},
  };
  for (const Case& c : cases)
    for (bool masked : {false, true}) {
      auto grade = [&] {
        Operator& op = effect(c.type);
        for (const auto& [name, value] : c.params) setParam(op, name, value);
        if (masked) feed(pictureOp(mask), op, "MaskIn");
        Texture* out = apply(op, source);
        EXPECT_NE(out, nullptr) << c.type;
        return out ? pixels(out) : std::vector<Pixel>{};
      };
      const std::vector<Pixel> now = grade();
      auto old = program(c.oldText, "PS", c.program.get());
      ASSERT_TRUE(old) << c.type;
      std::swap(c.program.program, old);
      const std::vector<Pixel> before = grade();
      std::swap(c.program.program, old);
      EXPECT_GE(psnr(before, now), 60.0) << c.type << (masked ? " masked" : "");
      EXPECT_LT(psnr(pixels(source), now), 40.0) << c.type;  // the grade does change the picture
    }
}

// Reading the neighbourhood by texel instead of filtered changes nothing where the reads land
// on texel centres; the walk is the same steps. 60 dB: well under one step of the target.
TEST_F(PassBudgetGpuTest, FXAAReadingItsNeighbourhoodByTexelShowsWhatItShowed) {
  // Display-range steps and slopes: long edges, short ones and single-pixel features.
  std::vector<Pixel> p(size_t(size()) * size());
  for (uint32_t y = 0; y < size(); ++y)
    for (uint32_t x = 0; x < size(); ++x) {
      const float step = (x * 3 > y * 2 + 10) ? 0.9f : 0.1f;
      const float dot = ((x * 5 + y * 11) % 23 == 0) ? 0.6f : 0.0f;
      const float ramp = 0.3f * float(y) / float(size());
      p[size_t(y) * size() + x] = Pixel{std::min(step + dot, 1.0f), step * 0.8f + ramp, 0.5f - ramp, 1.0f};
    }
  Texture* source = picture(p);
  const std::vector<Pixel> now = draw("FXAA", source, {});
  auto old = program(kOldFxaa, "mainPS", manager->fxaa.program.get(), "mainVS");
  ASSERT_TRUE(old);
  std::swap(manager->fxaa.program.program, old);
  const std::vector<Pixel> before = draw("FXAA", source, {});
  std::swap(manager->fxaa.program.program, old);
  EXPECT_GE(psnr(before, now), 60.0);
  EXPECT_LT(psnr(pixels(source), now), 45.0);  // edges were softened
}
// SSAO with its per-frame terms from the vertex shader: the offsets are scaled by the radius
// before they are reflected, the projection to uv is folded into three dot products and the
// fade divides by a reciprocal, all rounding differences far below a half-float step of the
// occlusion (60 dB). Drawn on a valley under a band of sky, with positions from the frustum
// corner and, with a far plane of 0, from the projection. The occlusion now runs at half
// the size: the old text is given what that asks of it (each pixel stands for the top-left
// of its 2 x 2, takes a random vector of its own and hands its depth on in three bytes).
TEST_F(PassBudgetGpuTest, SSAOWithItsPerFrameTermsFromTheVertexShaderShowsWhatItShowed) {
  uploadValley();
  context.projection = mat::perspectiveFovDegrees(45.0f, 1.0f, 0.1f, 100.0f);
  context.fov = 45.0f;
  Texture* white = uniform({1, 1, 1, 1});
  for (float zFar : {100.0f, 0.0f}) {
    context.zFar = zFar;
    const std::vector<std::pair<const char*, float>> params{{"Radius", 1.0f}, {"SurfaceEpsilon", 0.05f}};
    const std::vector<Pixel> now = draw("SSAO", white, params);
    std::string halfSize = kOldSSAO;
    for (auto [from, to] : {std::pair<std::string, std::string>{"float4 nd = gbufferAt(i.uv);",
                                                                "float2 uv = i.uv - 0.5 / gScreenSize;\n    float4 nd = gbufferAt(uv);"},
                            {"viewPositionFromCorner(i.uv, depth)", "viewPositionFromCorner(uv, depth)"},
                            {"gScreenSize / 4.0", "gScreenSize / 8.0"},
                            {"return float4(1, 1, 1, 1);", "return float4(1, depthToBytes(depth));"},
                            {"return float4(ao, ao, ao, 1.0);", "return float4(ao, depthToBytes(depth));"},
                            {"#include \"common/fullscreen.hlsli\"", "#include \"common/depthBytes.hlsli\"\n#include \"common/fullscreen.hlsli\""}}) {
      const size_t at = halfSize.find(from);
      ASSERT_NE(at, std::string::npos) << from;
      halfSize.replace(at, from.size(), to);
    }
    auto old = program(halfSize, "PS", manager->ssao.ssao.get());
    ASSERT_TRUE(old);
    std::swap(manager->ssao.ssao.program, old);
    const std::vector<Pixel> before = drawFiltered(manager->linearWrap, "SSAO", white, params);
    std::swap(manager->ssao.ssao.program, old);
    EXPECT_GE(psnr(before, now), 60.0) << "far plane " << zFar;
    EXPECT_LT(psnr(pixels(white), now), 40.0) << "far plane " << zFar;  // the crease is occluded
  }
}

// SSAO's depth taps gathered from the depth channel alone and weighted in the shader, against
// the filtered reads they replaced (today's text with those reads put back), and its centre,
// random vectors, blurs and combine read by texel against the filter they used (wrapping the
// random vectors in the shader instead): the weights are the filter's own,
// so the occlusion moves by less than a step of its 8-bit target (60 dB). Two radii: taps
// within a few texels, and taps reaching across the valley into the sky.
TEST_F(PassBudgetGpuTest, SSAOGatheringItsDepthsAndReadingByTexelShowsWhatItShowed) {
  uploadValley();
  context.projection = mat::perspectiveFovDegrees(45.0f, 1.0f, 0.1f, 100.0f);
  context.fov = 45.0f;
  context.zFar = 100.0f;
  std::string filtered;
  ASSERT_TRUE(readWholeFile("data/shaders/ssao.hlsl", filtered));
  const std::string gathered = "depthAt(quv, i.region, size)";
  const size_t at = filtered.find(gathered);
  ASSERT_NE(at, std::string::npos);
  filtered.replace(at, gathered.size(), "gNormalDepth.SampleLevel(gNormalSampler, regionToSource(quv, i.region.xy, i.region.zw), 0).w");
  const std::string wrapped = "frac(i.uv * i.randomScale.xy)";
  const size_t wrappedAt = filtered.find(wrapped);
  ASSERT_NE(wrappedAt, std::string::npos);
  filtered.replace(wrappedAt, wrapped.size(), "i.uv * i.randomScale.xy");
  // A picture of another size than the G-buffer and the occlusion keeps the filter.
  for (uint32_t side : {size(), size() * 3 / 4}) {
    Texture* white = picture(std::vector<Pixel>(size_t(side) * side, Pixel{1, 1, 1, 1}), side, side);
    for (float radius : {0.3f, 2.0f}) {
      const std::vector<std::pair<const char*, float>> params{{"Radius", radius}, {"SurfaceEpsilon", 0.05f}};
      const std::vector<Pixel> now = draw("SSAO", white, params);
      auto old = program(filtered, "PS", manager->ssao.ssao.get());
      ASSERT_TRUE(old);
      std::swap(manager->ssao.ssao.program, old);
      const std::vector<Pixel> before = drawFiltered(manager->linearWrap, "SSAO", white, params);
      std::swap(manager->ssao.ssao.program, old);
      EXPECT_GE(psnr(before, now), 60.0) << "radius " << radius << ", picture of " << side;
      const std::vector<Pixel> open(now.size(), Pixel{1, 1, 1, 1});
      EXPECT_LT(psnr(open, now), 45.0) << "radius " << radius << ", picture of " << side;  // the crease is occluded
    }
  }
}

// Depth of field (its circle-of-confusion pass and its combine) and bloom's combine read the
// picture at their own pixels. At their size, by texel: that must show what the filter
// showed (60 dB: at most a rounding of the half-float result). A picture of another size
// falls between texels and must keep the filter, so it shows exactly what it showed.
TEST_F(PassBudgetGpuTest, DOFAndBloomReadingThePictureByTexelShowWhatTheyShowed) {
  context.zNear = 0.1f;
  context.zFar = 100.0f;
  const float beyondFocus[4] = {1.0f, 0, 0, 0};
  clearTexture(device(), context.frameDepthTarget, beyondFocus);
  const std::vector<std::pair<const char*, std::vector<std::pair<const char*, float>>>> effects{
      {"DOF", {{"Apreture", 2.0f}}}, {"Bloom", {{"ExtractThreshold", 0.3f}, {"RadiusX", 300.0f}}}};
  for (uint32_t side : {size(), size() * 3 / 4}) {
    Texture* source = picture(testPicture(side), side, side);
    for (const auto& [type, params] : effects) {
      const std::vector<Pixel> now = draw(type, source, params);
      Sampler* filter = std::string(type) == "DOF" ? manager->linearClamp : manager->linearWrap;
      const std::vector<Pixel> before = drawFiltered(filter, type, source, params);
      if (side == size()) {
        EXPECT_GE(psnr(before, now), 60.0) << type;
        EXPECT_LT(psnr(pixels(source), now), 45.0) << type;  // blurred, or glowing
      } else {
        EXPECT_EQ(psnr(before, now), 1e9) << type << " on a picture of " << side << " pixels";
      }
    }
  }
}

// The grading passes read the picture at their own pixels: at its size, by texel, which must
// show what the filter showed (60 dB: at most a rounding of the half-float result), and
// sharpening's neighbours past the edge must wrap as they did. A picture of another size falls
// between texels and must keep the filter: exactly what it showed. The trace of the sampler
// each pass was given says which it took.
TEST_F(PassBudgetGpuTest, GradingPassesReadingThePictureByTexelShowWhatTheyShowed) {
  struct Grade {
    const char* type;
    std::vector<std::pair<const char*, float>> params;
    PassProgram* program;
    Sampler* filter;
  };
  PostProcessManager& m = *manager;
  const Grade grades[] = {
      {"ToneMapping", {{"Exposure", 1.3f}}, &m.toneMapping.program, m.linearWrap},
      {"ToneMapping", {{"Sharpen", 0.8f}}, &m.toneMapping.sharpened, m.linearWrap},
      {"Grain", {{"Contrast", 0.5f}}, &m.grain.program, m.linearBorder},
      {"ColorCorrection", {{"G Mul", 0.8f}, {"B Post Add", 0.1f}}, &m.colorCorrection.program, m.linearBorder},
      {"CCSplitToning", {}, &m.ccSplitToning.program, m.linearClamp},
      {"CCTone", {{"Contrast", 0.3f}, {"Shadows", 0.2f}}, &m.ccTone.program, m.linearClamp},
      {"CCColor", {{"Red HUE", 20.0f}, {"Blue Saturation", 0.3f}}, &m.ccColor.program, m.linearClamp},
      {"CCHSL", {{"HUE", 15.0f}, {"Saturation", 0.2f}}, &m.ccHSL.program, m.linearClamp},
  };
  for (uint32_t side : {size(), size() * 3 / 4}) {
    Texture* source = picture(testPicture(side), side, side);
    for (const Grade& g : grades) {
      const std::vector<Pixel> now = draw(g.type, source, g.params);
      ASSERT_NE(g.program->get(), nullptr) << g.type;
      const Sampler* taken = g.program->get()->samplers[4].at(0);
      const std::vector<Pixel> before = drawFiltered(g.filter, g.type, source, g.params);
      if (side == size()) {
        EXPECT_EQ(taken, g.filter == m.linearWrap ? m.pointWrap : m.pointClamp) << g.type;
        EXPECT_GE(psnr(before, now), 60.0) << g.type;
      } else {
        EXPECT_EQ(taken, g.filter) << g.type << " on a picture of " << side << " pixels";
        EXPECT_EQ(psnr(before, now), 1e9) << g.type << " on a picture of " << side << " pixels";
      }
    }
  }
}

// The second blur of the depth of field draws only the blocks with a circle wider than the
// combine's sharp limit, over its target cleared first. The depth puts a sharp band down the
// left, then blocks of circles up to 0.8 pixels (barely over the limit) and wider ones; the
// passes must show what the old ones showed everywhere, also after a frame that left every
// block of the blur's target blurred.
TEST_F(PassBudgetGpuTest, DOFBlurringOnlyTheBlocksWithWideCirclesShowsWhatItShowed) {
  const uint32_t n = size();
  DOFBlock& dof = manager->dof;
  const float zNear = 0.1f, zFar = 100.0f;
  const auto depthFor = focusAtOne(dof, n, zNear, zFar);
  std::vector<Pixel> depth(size_t(n) * n);
  for (uint32_t y = 0; y < n; ++y)
    for (uint32_t x = 0; x < n; ++x) {
      // Blocks of 16 columns: in focus; circles up to 0.8 pixels; then up to 1.9 (the most).
      const float c = x < 16 ? 0.0f : x < 32 ? 0.8f * float(x - 15) / 16.0f : 0.8f + float(x - 31) / 16.0f;
      depth[size_t(y) * n + x].r = depthFor(c * (0.8f + 0.2f * float(y + 1) / float(n)));
    }
  const auto [near, far, source, other, out, vp] = dofPictures(depth);
  auto dofOf = [&](Texture* picture, Texture* depthPicture) {
    manager->applyDOF(picture, out, vp, depthPicture, zNear, zFar);
    return pixels(out);
  };

  // The blocks of the second blur alone: every block takes the wide blurs.
  dof.narrowBlurs = false;
  // Blurred every block of the blur's target first, then the band.
  dofOf(other, far);
  const std::vector<Pixel> now = dofOf(source, near);
  PassProgram* passes[] = {&dof.hexBlur0, &dof.hexBlur1, &dof.calcCoC, &dof.combine, &dof.blockRadius};
  std::vector<std::unique_ptr<ShaderProgram>> old;
  for (PassProgram* pass : passes) {
    old.push_back(program(kOldDOF, pass->pixelEntry, pass->get(), pass->vertexEntry));
    ASSERT_TRUE(old.back()) << pass->pixelEntry;
  }
  for (size_t i = 0; i < old.size(); ++i) std::swap(passes[i]->program, old[i]);
  const std::vector<Pixel> before = dofOf(source, near);
  for (size_t i = 0; i < old.size(); ++i) std::swap(passes[i]->program, old[i]);

  EXPECT_GE(psnr(before, now), 60.0);
  // The band stays sharp and the far side is blurred: both kinds of block were there.
  const std::vector<Pixel> sharp = pixels(source);
  double bandError = 0, farError = 0;
  for (uint32_t y = 0; y < n; ++y)
    for (uint32_t x = 0; x < n; ++x) {
      const size_t i = size_t(y) * n + x;
      (x < 16 ? bandError : x >= 48 ? farError : bandError) += x < 16 || x >= 48 ? std::fabs(now[i].g - sharp[i].g) : 0.0;
    }
  EXPECT_EQ(bandError, 0.0);
  EXPECT_GT(farError, 0.5);
}

// Passes drawn over chosen 16 x 16 blocks only, on a 256-line screen so that blocks go
// undrawn: each must show what drawing every block showed.
class BlockPassesGpuTest : public PassBudgetGpuTest {
 protected:
  BlockPassesGpuTest() : PassBudgetGpuTest(256) {}
};

// Bloom's blurs draw only the blocks that light from a bright block can reach through four
// blurs, over targets holding zeros elsewhere (targets of 8 x 8 blocks here), after a frame
// that left light all over the targets.
TEST_F(BlockPassesGpuTest, BloomBlursOverTheBlocksLightCanReachShowWhatBlurringEveryBlockShowed) {
  const uint32_t n = size();
  std::vector<Pixel> dark(size_t(n) * n, Pixel{0.2f, 0.3f, 0.25f, 1.0f});
  std::vector<Pixel> spots = dark;
  for (auto [x, y] : {std::pair<uint32_t, uint32_t>{30, 40}, {200, 222}, {255, 0}})
    for (uint32_t dy = 0; dy < 2 && y + dy < n; ++dy)
      for (uint32_t dx = 0; dx < 2 && x + dx < n; ++dx) spots[(y + dy) * n + x + dx] = Pixel{5.0f, 3.0f, 1.5f, 1.0f};
  Texture* source = picture(spots);
  Texture* bright = uniform(Pixel{4.0f, 4.0f, 4.0f, 1.0f});
  Texture* out = texture(format::RGBA16F, n, n, 0x10049);
  BloomBlock& b = manager->bloom;
  b.extractThreshold = 1.0f;
  b.intensity = 0.7f;

  struct Case {
    float radiusX, radiusY;
    Viewport vp;
  };
  const Case cases[] = {{0.2f, 0.2f, {0, 0, 256, 256}},     {40.0f, 25.0f, {0, 0, 256, 256}},
                        {25.0f, 120.0f, {0, 0, 256, 256}},  {130.0f, 30.0f, {20, 12, 250, 200}},
                        {3000.0f, 3000.0f, {0, 0, 256, 256}}};
  int casesWithUndrawnBlocks = 0;
  for (const Case& c : cases) {
    b.radiusX = c.radiusX;
    b.radiusY = c.radiusY;
    auto bloomOf = [&](bool overBlocks) {
      b.overBlocks = false;
      manager->applyBloom(bright, out, c.vp);  // light all over both targets
      b.overBlocks = overBlocks;
      manager->applyBloom(source, out, c.vp);
      return std::pair{pixels(out), pixels(b.bA)};
    };
    const auto [now, nowGlow] = bloomOf(true);
    std::vector<uint8_t> reached = readBack(b.reached);
    const std::vector<float> reachedBlocks(reinterpret_cast<const float*>(reached.data()),
                                           reinterpret_cast<const float*>(reached.data()) + reached.size() / 4);
    casesWithUndrawnBlocks += std::count(reachedBlocks.begin(), reachedBlocks.end(), 0.0f) > 0;
    const auto [before, beforeGlow] = bloomOf(false);
    ASSERT_EQ(now.size(), before.size());
    ASSERT_EQ(nowGlow.size(), beforeGlow.size());
    float worst = 0.0f, glowWorst = 0.0f, glow = 0.0f;
    for (size_t i = 0; i < now.size(); ++i)
      worst = std::max({worst, std::fabs(now[i].r - before[i].r), std::fabs(now[i].g - before[i].g),
                        std::fabs(now[i].b - before[i].b)});
    for (size_t i = 0; i < nowGlow.size(); ++i) {
      glowWorst = std::max({glowWorst, std::fabs(nowGlow[i].r - beforeGlow[i].r), std::fabs(nowGlow[i].g - beforeGlow[i].g),
                            std::fabs(nowGlow[i].b - beforeGlow[i].b)});
      glow = std::max(glow, beforeGlow[i].r);
    }
    EXPECT_EQ(worst, 0.0f) << c.radiusX << " x " << c.radiusY;
    EXPECT_EQ(glowWorst, 0.0f) << c.radiusX << " x " << c.radiusY;
    EXPECT_GT(glow, 0.0f) << c.radiusX << " x " << c.radiusY;  // the spots do bloom
  }
  EXPECT_GE(casesWithUndrawnBlocks, 3);  // the blocks did skip something
}

// The depth of field blurs the blocks whose widest circle is at most its narrow radius with
// four taps a direction instead of eight, as close as a pixel apart. Circles grow across the
// picture from nothing (sharp, left) to the widest the effect makes (right), over a picture
// with detail every few pixels and highlights five times white, after a frame that left a
// uniform blur in every target. The narrow blurs must stay within 60 dB of the wide ones (they
// give 66; two taps a direction would give 55), while the blur itself is under 25 dB from the
// sharp picture. Blocks out of the narrow blocks' reach must not change at all.
TEST_F(BlockPassesGpuTest, DOFBlurringNarrowCirclesWithFewerTapsShowsWhatItShowed) {
  const uint32_t n = size();
  DOFBlock& dof = manager->dof;
  const float zNear = 0.1f, zFar = 100.0f;
  const auto depthFor = focusAtOne(dof, n, zNear, zFar);
  const float widest = 32.0f * float(n) / 1080.0f;  // the effect's widest circle here
  std::vector<Pixel> depth(size_t(n) * n);
  for (uint32_t y = 0; y < n; ++y)
    for (uint32_t x = 0; x < n; ++x) {
      const float c = widest * float(x) / float(n - 1) * (0.9f + 0.1f * float(y) / float(n));
      depth[size_t(y) * n + x].r = depthFor(c);
    }
  const auto [near, far, source, other, out, vp] = dofPictures(depth);
  auto dofOf = [&](bool narrow) {
    dof.narrowBlurs = narrow;
    manager->applyDOF(other, out, vp, far, zNear, zFar);
    manager->applyDOF(source, out, vp, near, zNear, zFar);
    return pixels(out);
  };
  ProgramTrace trace;
  manager->trace = &trace;
  const std::vector<Pixel> now = dofOf(true);
  manager->trace = nullptr;
  const std::vector<Pixel> before = dofOf(false);
  for (const PassProgram* narrowPass : {&dof.hexBlur0Narrow, &dof.hexBlur1Narrow})
    EXPECT_NE(std::find(trace.runs.begin(), trace.runs.end(), narrowPass->get()), trace.runs.end());

  EXPECT_GE(psnr(before, now), 60.0);
  EXPECT_LT(psnr(pixels(source), before), 25.0);
  // The last column of blocks with a narrow circle, then the wide blocks the narrow blurs
  // cannot reach: the widest circle plus a texel of filtering, twice (two blurs).
  const uint32_t lastNarrow = uint32_t(4.0f / widest * float(n - 1) / 0.9f);
  const uint32_t untouched = lastNarrow + 2 * (uint32_t(widest) + 2);
  ASSERT_LT(untouched, n);
  double narrowChange = 0, wideChange = 0;
  for (uint32_t y = 0; y < n; ++y)
    for (uint32_t x = 0; x < n; ++x) {
      const size_t i = size_t(y) * n + x;
      const double change = std::fabs(now[i].r - before[i].r) + std::fabs(now[i].g - before[i].g) + std::fabs(now[i].b - before[i].b);
      (x >= untouched ? wideChange : narrowChange) += change;
    }
  EXPECT_EQ(wideChange, 0.0);
  EXPECT_GT(narrowChange, 0.0);  // the narrow blurs did draw
}

// FXAA copies the picture and anti-aliases only the blocks where some pixel fails its edge
// test: shapes with hard edges, a mild gradient and faint noise (under the test's contrast)
// elsewhere, over the whole screen, a viewport and a picture of another size (every pixel).
TEST_F(BlockPassesGpuTest, FXAAOverTheBlocksWithEdgesShowsWhatItShowsOverEveryPixel) {
  const uint32_t n = size();
  std::vector<Pixel> shapes(size_t(n) * n);
  for (uint32_t y = 0; y < n; ++y)
    for (uint32_t x = 0; x < n; ++x) {
      const float gradient = 0.3f + 0.1f * float(x + y) / float(2 * n);
      const float noise = 0.004f * float((x * 7 + y * 13) % 5);
      Pixel p{gradient + noise, gradient, gradient * 0.8f, 1.0f};
      const float dx = float(x) - 60.0f, dy = float(y) - 70.0f;
      if (dx * dx + dy * dy < 30.0f * 30.0f) p = Pixel{0.9f, 0.8f, 0.2f, 1.0f};          // a disc
      if (x > 150 && y > 2 * (x - 150) && y < 120) p = Pixel{0.05f, 0.1f, 0.6f, 1.0f};  // a wedge
      if (x >= 200 && x < 203 && y >= 180) p = Pixel{1.0f, 1.0f, 1.0f, 1.0f};           // a thin bar
      // A box whose top and left edges lie on block edges: only the pixels of the blocks
      // above and to its left see it, as their lower and right neighbours.
      if (x >= 160 && x < 208 && y >= 160 && y < 176) p = Pixel{0.95f, 0.9f, 0.9f, 1.0f};
      shapes[size_t(y) * n + x] = p;
    }
  Texture* source = picture(shapes);
  Texture* small = picture(std::vector<Pixel>(shapes.begin(), shapes.begin() + 128 * 128), 128, 128);
  Texture* out = texture(format::RGBA16F, n, n, 0x10049);
  FXAABlock& f = manager->fxaa;
  struct Case {
    Texture* picture;
    Viewport vp;
    bool overBlocks;
  };
  const Case cases[] = {{source, {0, 0, 256, 256}, true}, {source, {20, 12, 250, 200}, true},
                        {small, {0, 0, 256, 256}, false}};
  for (const Case& c : cases) {
    auto fxaaOf = [&](bool overBlocks) {
      const float lit[4] = {0.7f, 0.2f, 0.9f, 1.0f};
      clearTexture(device(), out, lit);
      f.overBlocks = overBlocks;
      ProgramTrace trace;
      manager->trace = &trace;
      manager->applyFXAA(c.picture, out, c.vp);
      manager->trace = nullptr;
      f.overBlocks = true;
      EXPECT_EQ(std::count(trace.runs.begin(), trace.runs.end(), f.overEdges.get()), overBlocks && c.overBlocks ? 1 : 0);
      return pixels(out);
    };
    const std::vector<Pixel> now = fxaaOf(true);
    const std::vector<Pixel> before = fxaaOf(false);
    ASSERT_EQ(now.size(), before.size());
    size_t differing = 0, smoothed = 0;
    for (size_t i = 0; i < now.size(); ++i) {
      differing += now[i].r != before[i].r || now[i].g != before[i].g || now[i].b != before[i].b || now[i].a != before[i].a;
      smoothed += std::fabs(now[i].b - shapes[i].b) > 0.01f;
    }
    // A pixel's uv comes from its block's rectangle instead of the full-screen triangle and may
    // differ in its last bit, which the filtered reads along an edge can show.
    float worst = 0.0f;
    for (size_t i = 0; i < now.size(); ++i)
      worst = std::max({worst, std::fabs(now[i].r - before[i].r), std::fabs(now[i].g - before[i].g),
                        std::fabs(now[i].b - before[i].b), std::fabs(now[i].a - before[i].a)});
    EXPECT_LE(worst, 1e-3f) << c.vp.left << "," << c.vp.top;  // a half-float step at 1
    EXPECT_LT(differing, now.size() / 200) << c.vp.left << "," << c.vp.top;
    if (&c == &cases[0]) {
      EXPECT_GT(smoothed, 100u);  // the edges were anti-aliased
    }
  }
  std::vector<uint8_t> marks = readBack(f.blocks);
  const float* m = reinterpret_cast<const float*>(marks.data());
  const size_t blocks = marks.size() / 4, marked = size_t(std::count_if(m, m + blocks, [](float v) { return v != 0.0f; }));
  EXPECT_GT(marked, 0u);
  EXPECT_LT(marked, blocks);  // blocks without an edge were left out

  // Another viewport size, once warmed up, makes no GPU object (the block target is the
  // destination's).
  const Texture* target = f.blocks;
  device()->waitIdle();
  const uint64_t created = device()->counters().total();
  manager->applyFXAA(source, out, Viewport{40, 30, 90, 70});
  device()->waitIdle();
  EXPECT_EQ(f.blocks, target);
  EXPECT_EQ(device()->counters().total(), created);
}
