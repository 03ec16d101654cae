#include "player/Music.h"

#include <SDL.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "player/Log.h"

namespace {

constexpr uint32_t kSampleHandle = 1;
constexpr uint32_t kChannelHandle = 2;
// Small device buffers keep the counted position close to what is heard.
constexpr uint16_t kDeviceFrames = 1024;

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Music::Music() = default;

Music::~Music() { free(); }

double Music::now() const { return clock_ ? clock_() : steadySeconds(); }

bool Music::init(int frequency) {
  preferredRate_ = frequency > 0 ? frequency : 44100;
  if (output_ != Output::None) return output_ == Output::Device;
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
    sdlAudioStarted_ = true;
    output_ = Output::Device;
    return true;
  }
  logText("No audio output (%s): the music position follows the clock\n", SDL_GetError());
  output_ = Output::WallClock;
  return false;
}

void Music::initManual(std::function<double()> clockSeconds) {
  free();
  clock_ = std::move(clockSeconds);
  output_ = Output::Manual;
}

uint32_t Music::sampleLoad(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    playing_ = false;
  }
  closeDevice();  // no callback runs from here on
  if (file_) sf_close(file_);
  file_ = nullptr;
  loaded_ = false;
  channelTaken_ = false;
  totalFrames_ = 0;

  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    logText("Failed to load music %s: %s\n", path.c_str(), sf_strerror(nullptr));
    return 0;
  }
  if (info.channels <= 0 || info.channels > 8 || info.samplerate <= 0) {
    logText("Failed to load music %s: unsupported format (%d channels, %d Hz)\n", path.c_str(), info.channels,
            info.samplerate);
    sf_close(file);
    return 0;
  }
  // The first block is decoded now, so a file that opens but holds no sound is refused
  // before playback; then back to the start.
  std::vector<float> block(size_t(kDeviceFrames) * size_t(info.channels));
  const sf_count_t got = sf_readf_float(file, block.data(), kDeviceFrames);
  const int error = sf_error(file);
  if (got <= 0 || error != SF_ERR_NO_ERROR || sf_seek(file, 0, SEEK_SET) != 0) {
    logText("Failed to load music %s: %s\n", path.c_str(),
            error != SF_ERR_NO_ERROR ? sf_strerror(file) : got <= 0 ? "no samples" : "cannot go back to its start");
    sf_close(file);
    return 0;
  }
  file_ = file;
  rate_ = info.samplerate;
  channels_ = info.channels;
  // Some formats cannot tell their length; the end is then found by decoding.
  totalFrames_ = info.frames > 0 ? uint64_t(info.frames) : UINT64_MAX;
  loaded_ = true;
  return kSampleHandle;
}

uint32_t Music::sampleGetChannel(uint32_t sample) {
  if (sample != kSampleHandle || !loaded_) return 0;
  channelTaken_ = true;
  return kChannelHandle;
}

double Music::lengthSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loaded_ ? double(totalFrames_) / rate_ : 0.0;
}

bool Music::openDevice() {
  if (device_) return true;
  SDL_AudioSpec want{};
  SDL_AudioSpec have{};
  want.freq = rate_;
  want.format = AUDIO_F32SYS;
  want.channels = uint8_t(channels_);
  want.samples = kDeviceFrames;
  want.callback = &Music::audioCallback;
  want.userdata = this;
  // No changes allowed: SDL converts our format to whatever the device takes.
  device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (!device_) {
    logText("Failed to open an audio device (%s): the music position follows the clock\n", SDL_GetError());
    return false;
  }
  return true;
}

void Music::closeDevice() {
  if (device_) {
    SDL_CloseAudioDevice(device_);  // waits for a running callback
    device_ = 0;
  }
}

bool Music::channelPlay(uint32_t channel) {
  if (channel != kChannelHandle || !channelTaken_ || !loaded_) return false;
  if (output_ == Output::None) init(preferredRate_);
  if (output_ == Output::Device && !openDevice()) output_ = Output::WallClock;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handed_ != 0) sf_seek(file_, 0, SEEK_SET);  // played before: from the start again
    handed_ = 0;
    handedBefore_ = 0;
    playStart_ = now();
    lastCallbackTime_ = playStart_;
    playing_ = true;
  }
  if (output_ == Output::Device) SDL_PauseAudioDevice(device_, 0);
  return output_ == Output::Device || output_ == Output::Manual;
}

double Music::positionLocked(double t) const {
  if (!playing_ && handed_ == 0) return 0.0;
  const double length = double(totalFrames_) / rate_;
  if (output_ == Output::WallClock) return std::clamp(t - playStart_, 0.0, length);
  // The frames of the last callback are taken to play out evenly until the next one.
  const double before = double(handedBefore_) / rate_;
  const double chunk = double(handed_ - handedBefore_) / rate_;
  return before + std::clamp(t - lastCallbackTime_, 0.0, chunk);
}

double Music::channelPositionSeconds(uint32_t channel) {
  if (channel != kChannelHandle || !loaded_) return 0.0;
  const double t = now();
  std::lock_guard<std::mutex> lock(mutex_);
  return positionLocked(t);
}

void Music::channelSeek(uint32_t channel, double seconds) {
  if (channel != kChannelHandle || !loaded_ || rate_ <= 0) return;
  const double t = now();
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t frame = uint64_t(std::clamp(seconds, 0.0, double(totalFrames_) / rate_) * rate_);
  if (file_) sf_seek(file_, sf_count_t(frame), SEEK_SET);
  handed_ = handedBefore_ = frame;
  lastCallbackTime_ = t;
  playStart_ = t - double(frame) / rate_;
}

void Music::channelPause(uint32_t channel, bool paused) {
  if (channel != kChannelHandle || !loaded_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    playing_ = !paused;
  }
  if (output_ == Output::Device && device_) SDL_PauseAudioDevice(device_, paused ? 1 : 0);
}

int Music::channelIsActive(uint32_t channel) {
  if (channel != kChannelHandle || !loaded_) return 0;
  const double t = now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!playing_) return 0;
  // A nanosecond of slack absorbs the rounding of clock differences at the very end.
  return positionLocked(t) < double(totalFrames_) / rate_ - 1e-9 ? 1 : 0;
}

size_t Music::pull(float* out, size_t frames) {
  const double t = now();
  std::lock_guard<std::mutex> lock(mutex_);
  size_t copied = 0;
  if (playing_ && loaded_ && file_ && handed_ < totalFrames_) {
    const size_t want = size_t(std::min<uint64_t>(frames, totalFrames_ - handed_));
    const sf_count_t got = sf_readf_float(file_, out, sf_count_t(want));
    copied = got > 0 ? size_t(got) : 0;
    // Fewer frames than asked for: the file ends (or breaks off) here, whatever its
    // header said, and so does the music.
    if (copied < want) totalFrames_ = handed_ + copied;
  }
  const size_t channels = channels_ > 0 ? size_t(channels_) : 1;
  std::fill(out + copied * channels, out + frames * channels, 0.0f);
  handedBefore_ = handed_;
  handed_ += copied;
  lastCallbackTime_ = t;
  return copied;
}

void Music::audioCallback(void* self, uint8_t* stream, int len) {
  auto* music = static_cast<Music*>(self);
  size_t frameBytes = sizeof(float) * size_t(music->channels_ > 0 ? music->channels_ : 1);
  music->pull(reinterpret_cast<float*>(stream), size_t(len) / frameBytes);
}

void Music::free() {
  closeDevice();
  if (sdlAudioStarted_) {
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    sdlAudioStarted_ = false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  playing_ = false;
  handed_ = handedBefore_ = 0;
  if (file_) sf_close(file_);
  file_ = nullptr;
  loaded_ = false;
  channelTaken_ = false;
  totalFrames_ = 0;
  output_ = Output::None;
  clock_ = nullptr;
}
