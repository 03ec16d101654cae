#pragma once

class Device;

// Caches that live for the whole process (loaded textures, imported meshes) hold objects
// made on one Device. Each registers how to forget what a Device made, and the Device calls
// them first thing as it goes: a Device made later (a test's next one, a second run in the
// same process) is then never handed an object whose device is gone, which would draw as
// unbound or crash on a layout that no longer exists.
using ForgetDeviceObjects = void (*)(Device* device);

// Registers `forget` once (a second registration of the same function is ignored).
void onDeviceGone(ForgetDeviceObjects forget);

// Called by the Device's destructor while the Device still works.
void forgetDeviceObjects(Device* device);
