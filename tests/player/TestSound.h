#pragma once
// A sound file of a sine ramp, for the music tests and the player's device tests.
#include <sndfile.h>

#include <cmath>
#include <string>
#include <vector>

// False when this libsndfile cannot write the format.
inline bool writeSound(const std::string& path, int format, int rate, int channels, int frames) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  if (!sf_format_check(&info)) return false;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  std::vector<float> data(size_t(frames) * channels);
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) data[size_t(i) * channels + c] = 0.5f * std::sin(0.01f * i + c);
  sf_writef_float(f, data.data(), frames);
  sf_close(f);
  return true;
}

// A click track: `seconds` of silence in 16-bit stereo WAV with one click (5 ms at full
// scale) at `clickAt` seconds.
inline bool writeClickTrack(const std::string& path, double seconds, double clickAt, int rate = 44100) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  const int frames = int(std::lround(seconds * rate));
  std::vector<float> data(size_t(frames) * 2, 0.0f);
  const int first = int(std::lround(clickAt * rate));
  for (int i = first; i < frames && i < first + rate / 200; ++i) data[size_t(i) * 2] = data[size_t(i) * 2 + 1] = 0.9f;
  sf_writef_float(f, data.data(), frames);
  sf_close(f);
  return true;
}
