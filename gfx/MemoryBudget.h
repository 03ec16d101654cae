#pragma once
// GPU memory against the device's budget while a production loads. Targets that would take
// the device over its budget are refused as they are made (no target: what draws into it
// draws nothing, with one message). Loading tells the device which operator is asking, and
// afterwards a production that asked for more than the device has ends with the operators
// that asked for the most named, instead of running with pieces missing or being killed by
// the system without a word.
#include <cstdint>
#include <string>
#include <vector>

class Device;

// Names who asks for the targets made from now on ("Image 'bg'"); empty: nobody in particular.
void setMemoryOwner(Device* device, const std::string& owner);
// Gives the targets asked for since the last call (by nobody in particular) to `owner`: for
// loading code that learns which operator ran only after it ran.
void attributeMemory(Device* device, const std::string& owner);

struct MemoryDemand {
  std::string owner;
  uint64_t bytes = 0;  // bytes of the targets it asked for (refused ones included)
};
// Owners by the bytes their targets asked for, the largest first.
std::vector<MemoryDemand> memoryDemands(Device* device);
// Bytes of targets refused for the budget so far.
uint64_t refusedMemory(Device* device);

// After loading: when targets were refused, ends through fatalError with the budget, what was
// refused and the (at most) three owners that asked for the most. Returns otherwise.
void checkMemoryAfterLoading(Device* device);
