#pragma once
// The scene half of the Context's start-up and shutdown: its GBufferRenderer, the quad mesh
// that sprites draw, and the G-buffer program as the Context's program.
#include "engine/Context.h"

class Device;

// Creates the renderer and the quad mesh (when not there yet) and makes the G-buffer
// program the Context's program. False without a device.
bool initSceneContext(Context& ctx, Device* device);
// Deletes them again (before the Device goes); the Context's program is cleared with them.
void releaseSceneContext(Context& ctx);
// The device a Context draws with: its targets' device, else its renderer's, else the first
// device made. Every operator reaches the device this one way.
Device* deviceOf(const Context& ctx);
