#pragma once
// The frame dump: one TIFF file per rendered frame, numbered by the frame counter.
#include <cstdint>
#include <string>

// "framedump/frame_" + the frame number padded with zeros to at least six digits + ".tiff".
std::string frameDumpName(int32_t frame);

// Creates the folder "framedump" when missing and writes the frame (RGBA8, top row first,
// tightly packed) under its name. False, with a log line naming the file, on failure.
bool writeDumpFrame(int32_t frame, uint32_t width, uint32_t height, const uint8_t* rgba);
