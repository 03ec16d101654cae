// Draws a "Cloth" piece (see clothRender.hlsli).
#include "clothRender.hlsli"
