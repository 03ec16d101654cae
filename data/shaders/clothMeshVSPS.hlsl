// Draws a "ClothMesh" piece (see clothRender.hlsli).
#include "clothRender.hlsli"
