#pragma once
// Recorded depth-camera footage (640 x 480 frames) played back as pictures: "XEDDepth" reads
// the .xed container (16-bit big-endian depth frames found by their markers) and draws the
// chosen frame through a shader into a colour picture; "AXEDDepth" reads raw 8-bit frames
// and hands the frame's texture on as it is. "Frame" picks the frame, so a graph plays a
// recording by animating it. Both layouts are described in docs/depth-recordings.md.
//
// A recording is read whole once (the file name is read until a file has loaded; a file
// that cannot be read is tried again at the next evaluation). A frame is decoded only when
// the frame number changes; a number that is negative, too large, not a number or past the
// recording keeps the frame on screen.
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/Operator.h"

class ShaderProgram;
class Texture;

constexpr uint32_t kDepthFrameWidth = 640;
constexpr uint32_t kDepthFrameHeight = 480;
constexpr uint32_t kDepthFramePixels = kDepthFrameWidth * kDepthFrameHeight;  // 307200
constexpr uint32_t kXedFrameMarker = 0xE0018002;                             // little-endian on file
constexpr uint32_t kXedFrameBytes = kDepthFramePixels * 2;                   // after the marker
constexpr uint32_t kXedFrameStep = kDepthFramePixels;  // least distance from one marker to the next

// The frame number a "Frame" value asks for: trunc(value), or false for a value that is not
// a number or lies outside 0 .. 2^31 - 1.
bool depthFrameNumber(float value, int32_t& frame);

// A .xed recording in memory. Every bound comes from the length stored at bytes 16 to 19
// (32-bit little-endian, signed), taken no larger than the file; a negative one, or a file
// too short to hold it, leaves no frames.
class XedRecording {
 public:
  void assign(std::string bytes);
  bool empty() const { return data.empty(); }
  // Where frame n's marker lies, or -1 when there is no such frame. Frame 0 is the first
  // marker at a 4-byte aligned position; frame n + 1 the next one found, in 4-byte steps,
  // from 307200 bytes after frame n's marker on. A frame exists only when its data ends
  // within the length.
  int64_t framePosition(int32_t n);
  // Frame n's 307200 depth values in row order, bytes swapped to host order.
  bool decode(int32_t n, uint16_t* out);

  std::string data;
  int64_t length = 0;  // the bound for every read
 private:
  int64_t scanForMarker(int64_t from) const;  // first marker at or after from, or -1
  std::vector<int64_t> frames_;                // markers found so far, in order
  bool exhausted_ = false;                     // no marker after the last one found
};

// A raw recording: frame n is the 307200 bytes at n * 307200, one per pixel.
bool decodeRawDepthFrame(const std::string& data, int32_t n, uint8_t* out);

class XEDDepthOp : public Operator {
 public:
  enum In : uint32_t { File, Shader, Frame, FarPlane, NearPlane, Count };
  static constexpr ParamDecl kParams[] = {
      param::path("File", "data//kinect//velmora3.xed"),
      param::shader("Shader", "data\\shaders\\custom\\kinect.hlsl"),
      param::integer("Frame", 0.0f),
      param::number("FarPlane", 20.0f),
      param::number("NearPlane", 0.0f),
  };
  static_assert(std::size(kParams) == Count);

  XEDDepthOp();
  class XEDFunction : public Function {
   public:
    XEDFunction();
    ~XEDFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    // Decodes frame n into the depth texture; false (texture and frame kept) when the
    // recording has no such frame.
    bool decodeFrame(int32_t n);

    uint8_t notLoaded = 1;
    bool programTried = false;
    std::unique_ptr<ShaderProgram> program;
    Texture* depthTexture = nullptr;  // 640 x 480, 16-bit unsigned normalised, CPU-written
    Texture* colourTarget = nullptr;  // 640 x 480 RGBA8
    std::string fileName;             // of the loaded recording
    std::string failedName;           // the last name that could not be read (reported once)
    XedRecording recording;
    std::vector<uint16_t> scratch;  // one decoded frame
    int32_t currentFrame = -1;
    uint64_t decodes = 0;
  };
};

class AXEDDepthOp : public Operator {
 public:
  enum In : uint32_t { File, Shader, Frame, FarPlane, NearPlane, Count };
  static constexpr ParamDecl kParams[] = {
      param::path("File", "data//kinect//velmora3.xed"),
      param::shader("Shader", "data\\shaders\\custom\\kinect.hlsl"),
      param::integer("Frame", 0.0f),
      param::number("FarPlane", 20.0f),
      param::number("NearPlane", 0.0f),
  };
  static_assert(std::size(kParams) == Count);

  AXEDDepthOp();
  class AXEDFunction : public Function {
   public:
    AXEDFunction();
    ~AXEDFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    bool decodeFrame(int32_t n);

    uint8_t notLoaded = 1;
    Texture* frameTexture = nullptr;  // 640 x 480, 8-bit unsigned normalised, CPU-written
    std::string fileName;
    std::string failedName;
    std::string data;
    std::vector<uint8_t> scratch;
    int32_t currentFrame = -1;
    uint64_t decodes = 0;
  };
};
