// Video files written frame by frame and read back through FFmpeg: the pictures, the music
// cut to the range and aligned with them, the lossless master, and refusals that leave no
// file behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "player/FrameWriter.h"
#include "player/VideoFile.h"
#include "tests/player/TestSound.h"
#include "tests/player/VideoReader.h"

using namespace playertest;
namespace fs = std::filesystem;

namespace {

class VideoFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zv_video_" + std::to_string(getpid()) + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

// A picture of w x h whose every byte depends on the frame, the place and the channel.
std::vector<uint8_t> pattern(int frame, int w, int h) {
  std::vector<uint8_t> p(size_t(w) * h * 4);
  for (size_t i = 0; i < p.size(); ++i) p[i] = uint8_t(i * 7 + frame * 31 + (i >> 5));
  return p;
}

std::vector<uint8_t> flat(uint8_t v, int w, int h) {
  std::vector<uint8_t> p(size_t(w) * h * 4, v);
  for (size_t i = 3; i < p.size(); i += 4) p[i] = 255;
  return p;
}

// Writes `frames` frames at 60 frames a second: white while `white(n)`, else black.
bool writeFlashes(const VideoSettings& s, int frames, bool (*white)(int), std::string& error) {
  VideoFile file;
  if (!file.open(s, error)) return false;
  for (int n = 0; n < frames; ++n) {
    const auto picture = flat(white(n) ? 255 : 0, int(s.width), int(s.height));
    if (!file.writeFrame(picture.data(), error)) return false;
  }
  return file.finish(error);
}

int firstWhiteFrame(const DecodedVideo& v) {
  for (size_t n = 0; n < v.frames.size(); ++n)
    if (v.frames[n][(size_t(v.height / 2) * v.width + v.width / 2) * 4] > 200) return int(n);
  return -1;
}

}  // namespace

TEST_F(VideoFileTest, PicturesAndMusicStayInStepInEveryContainer) {
  // One second with a click at 0.5 s and white frames 30 to 32 (0.5 s to 0.55 s).
  ASSERT_TRUE(writeClickTrack(path("click.wav"), 1.0, 0.5));
  for (const char* name : {"clip.mp4", "clip.mov", "clip.webm", "clip.mkv"}) {
    VideoSettings s;
    s.path = path(name);
    s.width = 32;
    s.height = 18;
    s.musicPath = path("click.wav");
    s.audioSeconds = 1.0;
    std::string error;
    ASSERT_TRUE(writeFlashes(s, 60, [](int n) { return n >= 30 && n < 33; }, error)) << error;
    EXPECT_FALSE(fs::exists(s.path + ".part")) << name;
    const DecodedVideo v = readVideo(s.path);
    ASSERT_TRUE(v.ok) << name;
    EXPECT_EQ(v.frames.size(), 60u) << name;
    EXPECT_EQ(firstWhiteFrame(v), 30) << name;
    ASSERT_GT(v.audioRate, 0) << name;
    // The container states the sound's length; the decoder may hand out the encoder's
    // last partial frame whole (AAC), never less than the range.
    EXPECT_NEAR(v.audioStreamSeconds, 1.0, 1.0 / 60.0) << name;
    EXPECT_GE(double(v.sound.size()) / v.audioRate, 1.0 - 1.0 / 60.0) << name;
    // Times from the first picture: a container may shift both streams together (WebM
    // by the Opus encoder's delay).
    EXPECT_NEAR(v.frameTimes[30] - v.frameTimes[0], 0.5, 1e-3) << name;
    EXPECT_NEAR(soundOnset(v) - v.frameTimes[0], 0.5, 1.0 / 60.0) << name;
  }
}

TEST_F(VideoFileTest, TheMusicIsCutToTheRangeAndPaddedWithSilence) {
  ASSERT_TRUE(writeClickTrack(path("click.wav"), 1.0, 0.5));
  VideoSettings s;
  s.path = path("part.mkv");
  s.width = 16;
  s.height = 8;
  s.musicPath = path("click.wav");
  // [0.25, 1.25): the click is 0.25 s in, and the last quarter second is past the file.
  s.audioStart = 0.25;
  s.audioSeconds = 1.0;
  std::string error;
  ASSERT_TRUE(writeFlashes(s, 60, [](int) { return false; }, error)) << error;
  const DecodedVideo v = readVideo(s.path);
  ASSERT_TRUE(v.ok);
  EXPECT_EQ(v.audioCodec, "flac");
  EXPECT_NEAR(double(v.sound.size()) / v.audioRate, 1.0, 1.0 / 60.0);
  EXPECT_NEAR(soundOnset(v), 0.25, 1.0 / 60.0);
}

TEST_F(VideoFileTest, TheLosslessMasterDecodesToThePicturesByteForByte) {
  VideoSettings s;
  s.path = path("master.mkv");
  s.width = 21;  // odd sizes are fine without chroma subsampling
  s.height = 9;
  s.lossless = true;
  std::string error;
  VideoFile file;
  ASSERT_TRUE(file.open(s, error)) << error;
  for (int n = 0; n < 5; ++n) ASSERT_TRUE(file.writeFrame(pattern(n, 21, 9).data(), error)) << error;
  ASSERT_TRUE(file.finish(error)) << error;
  const DecodedVideo v = readVideo(s.path);
  ASSERT_TRUE(v.ok);
  EXPECT_EQ(v.videoCodec, "ffv1");
  EXPECT_TRUE(v.audioCodec.empty());  // no music, no sound stream
  ASSERT_EQ(v.frames.size(), 5u);
  for (int n = 0; n < 5; ++n) EXPECT_TRUE(v.frames[size_t(n)] == pattern(n, 21, 9)) << "frame " << n;

  // The same frames again give the same file, byte for byte.
  s.path = path("again.mkv");
  VideoFile again;
  ASSERT_TRUE(again.open(s, error)) << error;
  for (int n = 0; n < 5; ++n) ASSERT_TRUE(again.writeFrame(pattern(n, 21, 9).data(), error)) << error;
  ASSERT_TRUE(again.finish(error)) << error;
  auto bytes = [](const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_TRUE(bytes(path("master.mkv")) == bytes(path("again.mkv")));
}

TEST_F(VideoFileTest, RefusalsAndStopsLeaveNoFileBehind) {
  VideoSettings s;
  s.path = path("odd.mp4");
  s.width = 21;
  s.height = 9;
  std::string error;
  {
    VideoFile file;
    EXPECT_FALSE(file.open(s, error));
    EXPECT_NE(error.find("odd.mp4"), std::string::npos) << error;
    EXPECT_NE(error.find("even"), std::string::npos) << error;
  }
  s.path = path("missing/clip.mp4");
  s.width = 16;
  s.height = 10;
  {
    VideoFile file;
    EXPECT_FALSE(file.open(s, error));
    EXPECT_NE(error.find("missing/clip.mp4"), std::string::npos) << error;
  }
  s.path = path("clip.mp4");
  s.musicPath = path("not-a-sound.wav");
  std::ofstream(s.musicPath) << "text";
  {
    VideoFile file;
    EXPECT_FALSE(file.open(s, error));
    EXPECT_NE(error.find("not-a-sound.wav"), std::string::npos) << error;
  }
  s.musicPath.clear();
  {
    // Stopped halfway: the temporary file goes and nothing takes the final name.
    VideoFile file;
    ASSERT_TRUE(file.open(s, error)) << error;
    const auto picture = flat(128, 16, 10);
    ASSERT_TRUE(file.writeFrame(picture.data(), error)) << error;
  }
  for (auto& e : fs::directory_iterator(dir_)) EXPECT_EQ(e.path().filename(), "not-a-sound.wav");
}

TEST_F(VideoFileTest, TheWriterThreadWritesEveryFrameInOrderAndReportsTheFirstFailure) {
  // A sequence through the worker: more frames than buffers, each written under its number.
  {
    FrameWriter writer(makeSequenceOutput(path("f_%03d.png")));
    for (int n = 7; n < 17; ++n) {
      std::vector<uint8_t>& pixels = writer.acquire(8 * 4 * 4);
      pixels = pattern(n, 8, 4);
      writer.submit(n, 8, 4);
    }
    std::string error;
    ASSERT_TRUE(writer.finish(error)) << error;
  }
  for (int n = 7; n < 17; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "f_%03d.png", n);
    EXPECT_TRUE(fs::exists(dir_ / name)) << name;
  }
  EXPECT_FALSE(fs::exists(dir_ / "f_017.png"));
  for (auto& e : fs::directory_iterator(dir_)) EXPECT_EQ(e.path().extension(), ".png") << e.path();

  // A folder that vanished: the failure names the file and later frames are not tried.
  FrameWriter writer(makeSequenceOutput(path("gone/f_%d.tiff")));
  for (int n = 0; n < 4; ++n) {
    writer.acquire(16);
    writer.submit(n, 2, 2);
  }
  std::string error;
  EXPECT_FALSE(writer.finish(error));
  EXPECT_NE(error.find("gone/f_0.tiff"), std::string::npos) << error;
}
