#pragma once
// What the device objects in gfx/ ask of the backend behind them. No Vulkan type crosses this
// header: the Vulkan side (gfx/vulkan/Backend.h) includes it and implements it.

#include <cstddef>
#include <cstdint>

class Device;
class Texture;
struct SDL_Window;

namespace gfxbackend {

// Resources of a texture (or buffer): made from its description, with optional first data.
void createResource(Device* device, Texture* texture, const void* initialData);
void destroyResource(Device* device, Texture* texture);

struct SwapChain;
SwapChain* createSwapChain(Device* device, SDL_Window* window, uint32_t width, uint32_t height, bool vsync);
void destroySwapChain(Device* device, SwapChain* swapChain);
// False when the swap chain could not be built (the next present tries again).
bool resizeSwapChain(Device* device, SwapChain* swapChain, uint32_t width, uint32_t height, bool vsync);
void presentSwapChain(Device* device, SwapChain* swapChain, Texture* backBuffer);
// Semaphores the swap chain holds (acquire, present and retired present semaphores).
size_t swapChainSemaphoreCount(const SwapChain* swapChain);
// True while presents only submit: the window has no size, or a rebuild is still owed.
bool swapChainPaused(const SwapChain* swapChain);

}  // namespace gfxbackend
