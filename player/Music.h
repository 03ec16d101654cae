#pragma once
// The music: a file decoded as it plays (libsndfile, a block per device callback), played
// through SDL audio. Nothing but that block is held in memory, so the size of the file does
// not matter and playback starts at once.
//
// The position follows the samples actually handed to the audio device, counted in the
// device callback, so the picture keeps in step with what is heard; between two callbacks it
// moves on with the clock, never past the samples handed over. With SDL's dummy driver the
// callbacks still come in real time. Without any audio subsystem the position is the wall
// clock since play started.
//
// The operations mirror what the player needs: load a sample, take a channel of it, play,
// ask whether it is still active, ask the position in seconds. Handles are non-zero; 0 means
// no music, and every call accepts it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct sf_private_tag;

class Music {
 public:
  // How samples leave the process.
  enum class Output {
    None,       // not initialised
    Device,     // an SDL audio device pulls them
    WallClock,  // no audio subsystem: the position is the elapsed time
    Manual,     // tests pull samples with pull()
  };

  Music();
  ~Music();
  Music(const Music&) = delete;
  Music& operator=(const Music&) = delete;

  // Starts the audio subsystem. On failure the music still "plays" on the wall clock.
  // frequency is the preferred output rate; a file at another rate is converted by SDL.
  bool init(int frequency = 44100);
  // Tests: no device; samples leave only through pull(), time comes from the given clock.
  void initManual(std::function<double()> clockSeconds);

  // Opens the file and decodes its first block. 0 (and one log line naming the file) when
  // it cannot be read or holds no sound.
  uint32_t sampleLoad(const std::string& path);
  // The playable channel of a loaded sample; 0 for sample 0.
  uint32_t sampleGetChannel(uint32_t sample);
  // Starts playback from the beginning of the channel. False for channel 0 or when no
  // audio device could be opened (the wall clock then stands in).
  bool channelPlay(uint32_t channel);
  // 0 when stopped (never started, ended or channel 0), 1 while playing.
  int channelIsActive(uint32_t channel);
  // Seconds of music played so far.
  double channelPositionSeconds(uint32_t channel);
  // Moves the playing position (clamped to the music's length); the watch loop's seeking.
  void channelSeek(uint32_t channel, double seconds);
  // Silences the output and holds the position, or goes on from it.
  void channelPause(uint32_t channel, bool paused);
  // Stops and closes everything; the object can be initialised again.
  void free();

  Output output() const { return output_; }
  double lengthSeconds() const;
  int sampleRate() const { return rate_; }
  int channels() const { return channels_; }

  // What the device callback does: decodes up to frames frames (interleaved floats) into
  // out, fills the rest with silence and counts what was handed over. Returns frames
  // decoded. A file that ends before its header said ends the music there.
  size_t pull(float* out, size_t frames);

 private:
  static void audioCallback(void* self, uint8_t* stream, int len);
  double now() const;
  bool openDevice();
  void closeDevice();

  Output output_ = Output::None;
  bool sdlAudioStarted_ = false;
  uint32_t device_ = 0;
  int preferredRate_ = 44100;
  std::function<double()> clock_;

  double positionLocked(double t) const;

  int rate_ = 0;
  int channels_ = 0;
  bool loaded_ = false;
  bool channelTaken_ = false;

  // Shared with the audio thread.
  mutable std::mutex mutex_;
  sf_private_tag* file_ = nullptr;  // the open file (SNDFILE) while loaded; read by pull()
  uint64_t totalFrames_ = 0;     // what the header says, until decoding finds the real end
  bool playing_ = false;
  uint64_t handed_ = 0;            // frames handed to the device
  uint64_t handedBefore_ = 0;      // frames handed before the last callback
  double lastCallbackTime_ = 0.0;  // clock time of the last callback
  double playStart_ = 0.0;         // wall-clock output: when play started
};
