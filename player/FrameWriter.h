#pragma once
// Where rendered frames go, written on a worker thread so that encoding and file writing
// overlap with rendering (all GPU work stays on the main thread, which only reads each
// frame back into one of a few reused buffers).
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "player/VideoFile.h"

// One destination for frames. Called on the worker thread only.
class FrameOutput {
 public:
  virtual ~FrameOutput() = default;
  // Writes frame `number` (RGBA8, top row first, tightly packed).
  virtual bool write(int32_t number, uint32_t width, uint32_t height, const uint8_t* rgba, std::string& error) = 0;
  // Completes the output (a video's trailer); false with `error` when it could not.
  virtual bool finish(std::string& error) { (void)error; return true; }
  // Called instead of finish when the render stops early: removes what is incomplete.
  virtual void abandon() {}
};

// A PNG or TIFF picture (by the extension), written under a temporary name and renamed.
bool writePicture(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgba, std::string& error);

// The file of frame `number` in a sequence pattern with one %d conversion.
std::string sequenceName(const std::string& pattern, int32_t number);

// A numbered sequence of pictures ("out/frame_%06d.png"); `makeFolder` creates the
// pattern's folder when it is missing (the frame dump does).
std::unique_ptr<FrameOutput> makeSequenceOutput(const std::string& pattern, bool makeFolder = false);
// One picture: the single frame it receives.
std::unique_ptr<FrameOutput> makePictureOutput(const std::string& path);
// A video; opened on the calling thread so that its errors come before any rendering.
std::unique_ptr<FrameOutput> makeVideoOutput(const VideoSettings& settings, std::string& error);

class FrameWriter {
 public:
  explicit FrameWriter(std::unique_ptr<FrameOutput> output, int buffers = 3);
  ~FrameWriter();  // abandons the output unless finish() succeeded
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // A buffer of `bytes` to read the next frame into; waits while every buffer is queued.
  std::vector<uint8_t>& acquire(size_t bytes);
  // Queues the buffer last acquired as frame `number`.
  void submit(int32_t number, uint32_t width, uint32_t height);
  // True once a write failed; error() then says what and where.
  bool failed();
  std::string error();
  // Waits for every queued frame, completes the output and stops the worker.
  bool finish(std::string& error);
  // Stops the worker and removes what is incomplete.
  void abandon();

 private:
  struct Job {
    int32_t number = 0;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> pixels;
  };
  void run();
  void stop();

  std::unique_ptr<FrameOutput> output_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Job>> free_, queued_;
  std::unique_ptr<Job> current_;  // acquired, not yet submitted
  bool stopping_ = false, failed_ = false, finished_ = false;
  std::string error_;
  std::thread worker_;
};
