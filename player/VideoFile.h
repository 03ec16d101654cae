#pragma once
// A video file with the production's music, through FFmpeg's libraries: H.264 and AAC in
// .mp4 and .mov, VP9 and Opus in .webm, H.264 (or FFV1 for a lossless master) and FLAC in
// .mkv. The file is written under a temporary name beside the final one and renamed once
// complete, so a failed or interrupted render never leaves a file that looks whole.
#include <cstdint>
#include <memory>
#include <string>

struct VideoSettings {
  std::string path;  // the final name; its extension picks the container
  uint32_t width = 0, height = 0;
  int32_t fps = 60;
  int32_t crf = -1;       // -1: the default quality of the codec
  bool lossless = false;  // FFV1 in Matroska, the exact pictures
  // The music, cut to [audioStart, audioStart + audioSeconds) of the file: silence where
  // the file is shorter. Empty: no audio stream.
  std::string musicPath;
  double audioStart = 0.0;
  double audioSeconds = 0.0;
};

class VideoFile {
 public:
  VideoFile();
  ~VideoFile();  // an unfinished file is removed
  VideoFile(const VideoFile&) = delete;
  VideoFile& operator=(const VideoFile&) = delete;

  // Opens the encoders and the temporary file. False with `error` saying what and which
  // file (an odd size for H.264, a music file that cannot be read, an unwritable folder).
  bool open(const VideoSettings& settings, std::string& error);
  // Appends the next picture (RGBA8, top row first, tightly packed, of the opened size)
  // and the music up to its end time.
  bool writeFrame(const uint8_t* rgba, std::string& error);
  // Flushes the encoders, writes the trailer and renames the file into place.
  bool finish(std::string& error);
  // Stops and removes the temporary file.
  void abandon();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// Whether the extension names a video container this player writes.
bool isVideoExtension(const std::string& ext);
