#pragma once
// "PixelSorting": sorts runs of pixels along the rows and/or columns of the viewport on the
// GPU. A run is a stretch of consecutive pixels brighter ("Mode" "Black") or darker
// ("White") than "BlackVal"; within each run the pixels are reordered by brightness (the
// mean of red, green and blue, or the luminance without "UseColorAverage"), ascending or,
// with "InvertSort", descending; equal values keep their order. Pixels outside runs stay.
//
// Two compute programs do it (data/shaders/pixelSorting): "pixelRange" finds the runs of
// every line and the sort keys, "pixelSort" sorts each line (in group-shared memory up to
// 2048 pixels, in the working buffers beyond) and writes the moved pixels into the
// destination. Runs are sorted whole at any width the device takes.
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "engine/Operator.h"

class ShaderProgram;
class Texture;

class PixelSortingOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, BlackVal, Horizontal, Vertical, InvertSort, UseColorAverage, Mode, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::number("BlackVal", 0.1f),
      param::boolean("Horizontal", true),
      param::boolean("Vertical", false),
      param::boolean("InvertSort", false),
      param::boolean("UseColorAverage", true),
      param::choice("Mode", 0.0f, "Black|White"),
  };
  static_assert(std::size(kParams) == Count);

  PixelSortingOp();
  class PixelSortingFunction : public Function {
   public:
    PixelSortingFunction();  // loads both programs when a device exists (else on first use)
    ~PixelSortingFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

    // One sort along rows (horizontal) or columns from source into destination.
    void sortPass(Context& ctx, Texture* source, Texture* destination, bool horizontal);

    std::unique_ptr<ShaderProgram> range;  // "pixelSorting//pixelRange", entry "main"
    std::unique_ptr<ShaderProgram> sort;   // "pixelSorting//pixelSort", entry "main"
    bool tried = false;
    // Working buffers (layout in pixelSort.hlsli): run starts and sort keys, a uint per
    // pixel, grown when a larger viewport needs more.
    Texture* runs = nullptr;
    Texture* keys = nullptr;
    uint32_t capacity = 0;  // pixels the buffers hold
    float blackVal = 0, invertSort = 0, useColorAverage = 0;
    int32_t mode = 0;
  };
};
