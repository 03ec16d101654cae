#include <sys/resource.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "player/Music.h"
#include "tests/player/TestSound.h"

namespace {

std::string tempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("zv_music_" + std::to_string(getpid()) + "_" + name)).string();
}

// A clock the test moves by hand.
struct FakeClock {
  double t = 100.0;
  std::function<double()> fn() {
    return [this] { return t; };
  }
};

// Sets an environment variable for the lifetime of the object.
struct ScopedEnv {
  std::string name;
  std::string old;
  bool had;
  ScopedEnv(const char* n, const char* value) : name(n) {
    const char* o = std::getenv(n);
    had = o != nullptr;
    if (o) old = o;
    setenv(n, value, 1);
  }
  ~ScopedEnv() {
    if (had)
      setenv(name.c_str(), old.c_str(), 1);
    else
      unsetenv(name.c_str());
  }
};

}  // namespace

TEST(Music, PositionFollowsTheFramesHandedToTheDevice) {
  std::string path = tempPath("count.wav");
  ASSERT_TRUE(writeSound(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1000, 2, 250));  // 0.25 s
  FakeClock clock;
  Music music;
  music.initManual(clock.fn());
  uint32_t sample = music.sampleLoad(path);
  ASSERT_NE(sample, 0u);
  uint32_t channel = music.sampleGetChannel(sample);
  ASSERT_NE(channel, 0u);
  EXPECT_DOUBLE_EQ(music.lengthSeconds(), 0.25);
  EXPECT_EQ(music.channelIsActive(channel), 0);  // not started yet
  ASSERT_TRUE(music.channelPlay(channel));
  EXPECT_EQ(music.channelIsActive(channel), 1);

  // Nothing handed over yet: time alone does not move the music.
  clock.t += 0.5;
  EXPECT_EQ(music.channelPositionSeconds(channel), 0.0);

  std::vector<float> buffer(2 * 100, 1.0f);
  EXPECT_EQ(music.pull(buffer.data(), 100), 100u);  // 0.1 s handed at t = 100.5
  EXPECT_FLOAT_EQ(buffer[2], 0.5f * std::sin(0.01f));
  EXPECT_EQ(music.channelPositionSeconds(channel), 0.0);
  clock.t += 0.04;
  EXPECT_NEAR(music.channelPositionSeconds(channel), 0.04, 1e-9);
  clock.t += 1.0;  // a late device never runs ahead of what it was given
  EXPECT_NEAR(music.channelPositionSeconds(channel), 0.1, 1e-9);

  EXPECT_EQ(music.pull(buffer.data(), 100), 100u);
  EXPECT_NEAR(music.channelPositionSeconds(channel), 0.1, 1e-9);
  // The last 50 frames, padded with silence.
  EXPECT_EQ(music.pull(buffer.data(), 100), 50u);
  EXPECT_EQ(buffer[2 * 50], 0.0f);
  EXPECT_EQ(buffer[2 * 100 - 1], 0.0f);
  EXPECT_EQ(music.channelIsActive(channel), 1);  // the last frames still play
  clock.t += 0.02;
  EXPECT_NEAR(music.channelPositionSeconds(channel), 0.22, 1e-9);
  clock.t += 0.03;
  EXPECT_NEAR(music.channelPositionSeconds(channel), 0.25, 1e-9);
  EXPECT_EQ(music.channelIsActive(channel), 0);  // ended
  EXPECT_EQ(music.pull(buffer.data(), 100), 0u);
  EXPECT_NEAR(music.channelPositionSeconds(channel), 0.25, 1e-9);
  EXPECT_EQ(music.channelIsActive(channel), 0);
  std::remove(path.c_str());
}

TEST(Music, DecodesTheCommonFormats) {
  const struct {
    const char* name;
    int format;
  } formats[] = {{"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                 {"flac.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                 {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS}};
  for (auto f : formats) {
    std::string path = tempPath(f.name);
    if (!writeSound(path, f.format, 44100, 2, 44100 / 2)) {
      ADD_FAILURE() << "libsndfile cannot write " << f.name;
      continue;
    }
    Music music;
    music.initManual([] { return 0.0; });
    ASSERT_NE(music.sampleLoad(path), 0u) << f.name;
    EXPECT_EQ(music.sampleRate(), 44100) << f.name;
    EXPECT_EQ(music.channels(), 2) << f.name;
    EXPECT_NEAR(music.lengthSeconds(), 0.5, 0.01) << f.name;
    std::remove(path.c_str());
  }
}

// A 16-bit stereo WAV whose data chunk claims `dataBytes`, made as a sparse file: the
// disk holds only its header, the rest reads as silence.
bool writeSparseWav(const std::string& path, uint32_t dataBytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + dataBytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);  // PCM
  u16(2);
  u32(44100);
  u32(44100 * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(dataBytes);
  out.close();
  return out && ::truncate(path.c_str(), off_t(44) + dataBytes) == 0;
}

long peakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(Music, ALargeFileIsDecodedAsItPlaysNotUpFront) {
  // Half a gigabyte of sound (about 50 minutes): decoded whole it took a gigabyte of memory
  // and seconds before the first frame; a 4 GiB file ended the player with bad_alloc.
  std::string path = tempPath("large.wav");
  ASSERT_TRUE(writeSparseWav(path, 512u << 20));
  const long before = peakRssKb();
  FakeClock clock;
  Music music;
  music.initManual(clock.fn());
  uint32_t channel = music.sampleGetChannel(music.sampleLoad(path));
  ASSERT_NE(channel, 0u);
  EXPECT_NEAR(music.lengthSeconds(), double(512u << 20) / (44100 * 4), 1e-6);
  ASSERT_TRUE(music.channelPlay(channel));
  std::vector<float> buffer(2 * 4096, 1.0f);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(music.pull(buffer.data(), 4096), 4096u);
  EXPECT_EQ(buffer[0], 0.0f);
  clock.t += 1.0;
  EXPECT_NEAR(music.channelPositionSeconds(channel), 4096.0 * 100 / 44100, 1e-9);
  EXPECT_EQ(music.channelIsActive(channel), 1);
  EXPECT_LT(peakRssKb() - before, 64 * 1024) << "the file was held in memory";
  music.free();
  std::remove(path.c_str());
}

TEST(Music, AFileEndingBeforeItsHeaderSaysEndsTheMusicThere) {
  std::string path = tempPath("cut.wav");
  ASSERT_TRUE(writeSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1000, 1, 1000));  // 1 s
  FakeClock clock;
  Music music;
  music.initManual(clock.fn());
  uint32_t channel = music.sampleGetChannel(music.sampleLoad(path));
  ASSERT_NE(channel, 0u);
  ASSERT_TRUE(music.channelPlay(channel));
  // The file loses its second half while playing (as a file cut short on disk reads).
  ASSERT_EQ(::truncate(path.c_str(), 44 + 1000), 0);
  std::vector<float> buffer(600, 1.0f);
  size_t total = 0;
  for (int i = 0; i < 10; ++i) total += music.pull(buffer.data(), 600);
  EXPECT_EQ(total, 500u);
  clock.t += 10.0;
  EXPECT_NEAR(music.channelPositionSeconds(channel), 0.5, 1e-9);
  EXPECT_EQ(music.channelIsActive(channel), 0);  // ended, instead of waiting for frames that never come
  std::remove(path.c_str());
}

TEST(Music, UnloadableFilesGiveChannelZeroAndNameTheFile) {
  Music music;
  music.initManual([] { return 0.0; });
  testing::internal::CaptureStderr();
  EXPECT_EQ(music.sampleLoad("no/such/music.ogg"), 0u);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("no/such/music.ogg"), std::string::npos);

  std::string path = tempPath("noise.mp3");
  {
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 4000; ++i) out.put(char(i * 37));
  }
  testing::internal::CaptureStderr();
  uint32_t sample = music.sampleLoad(path);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(sample, 0u);
  EXPECT_NE(log.find(path), std::string::npos);
  std::remove(path.c_str());

  // Every operation takes the 0 handle and does nothing.
  EXPECT_EQ(music.sampleGetChannel(0), 0u);
  EXPECT_FALSE(music.channelPlay(0));
  EXPECT_EQ(music.channelIsActive(0), 0);
  EXPECT_EQ(music.channelPositionSeconds(0), 0.0);
  std::vector<float> buffer(64, 1.0f);
  EXPECT_EQ(music.pull(buffer.data(), 64), 0u);
  EXPECT_EQ(buffer[0], 0.0f);
}

TEST(Music, WithoutAudioThePositionIsTheWallClock) {
  std::string path = tempPath("clock.wav");
  ASSERT_TRUE(writeSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, 1600));  // 0.2 s
  ScopedEnv driver("SDL_AUDIODRIVER", "no-such-driver");
  Music music;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(music.init(44100));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(music.output(), Music::Output::WallClock);
  uint32_t channel = music.sampleGetChannel(music.sampleLoad(path));
  ASSERT_NE(channel, 0u);
  music.channelPlay(channel);
  EXPECT_EQ(music.channelIsActive(channel), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  double p = music.channelPositionSeconds(channel);
  EXPECT_GE(p, 0.075);
  EXPECT_LT(p, 0.2);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(music.channelIsActive(channel), 0);
  EXPECT_DOUBLE_EQ(music.channelPositionSeconds(channel), 0.2);
  std::remove(path.c_str());
}

TEST(Music, DummyDeviceStillPlaysInRealTime) {
  std::string path = tempPath("dummy.wav");
  ASSERT_TRUE(writeSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 44100 * 3 / 10));  // 0.3 s
  ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
  Music music;
  ASSERT_TRUE(music.init(44100));
  uint32_t channel = music.sampleGetChannel(music.sampleLoad(path));
  ASSERT_TRUE(music.channelPlay(channel));
  EXPECT_EQ(music.output(), Music::Output::Device);
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  double p = music.channelPositionSeconds(channel);
  EXPECT_GT(p, 0.02);   // moving ...
  EXPECT_LT(p, 0.25);   // ... but not faster than real time
  while (music.channelIsActive(channel) && std::chrono::steady_clock::now() - start < std::chrono::seconds(3))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(music.channelIsActive(channel), 0);
  EXPECT_GT(elapsed, 0.25);
  EXPECT_LT(elapsed, 1.5);
  EXPECT_NEAR(music.channelPositionSeconds(channel), 0.3, 1e-9);
  music.free();
  std::remove(path.c_str());
}
