#include "player/FrameWriter.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "gfx/image/ImageFile.h"
#include "player/CommandLine.h"

namespace {

bool writePng(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgba, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  bool ok = png && info;
  if (ok && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    // Frames are written as fast as they come: a little less compression, much less time.
    png_set_compression_level(png, 3);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y)
      png_write_row(png, const_cast<png_bytep>(rgba + size_t(y) * size_t(width) * 4));
    png_write_end(png, nullptr);
  } else {
    ok = false;
  }
  png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
  if (std::fclose(file) != 0) ok = false;
  if (!ok) error = "cannot write " + path;
  return ok;
}

class SequenceOutput : public FrameOutput {
 public:
  SequenceOutput(std::string pattern, bool makeFolder) : pattern_(std::move(pattern)), makeFolder_(makeFolder) {}
  bool write(int32_t number, uint32_t width, uint32_t height, const uint8_t* rgba, std::string& error) override {
    const std::string name = sequenceName(pattern_, number);
    if (makeFolder_) {
      // The folder usually exists after the first frame; a failure shows up in the write.
      const std::filesystem::path folder = std::filesystem::path(name).parent_path();
      if (!folder.empty()) ::mkdir(folder.c_str(), 0777);
    }
    return writePicture(name, width, height, rgba, error);
  }

 private:
  std::string pattern_;
  bool makeFolder_;
};

class PictureOutput : public FrameOutput {
 public:
  explicit PictureOutput(std::string path) : path_(std::move(path)) {}
  bool write(int32_t, uint32_t width, uint32_t height, const uint8_t* rgba, std::string& error) override {
    written_ = writePicture(path_, width, height, rgba, error);
    return written_;
  }
  bool finish(std::string& error) override {
    if (!written_) error = "no frame was written to " + path_;
    return written_;
  }

 private:
  std::string path_;
  bool written_ = false;
};

class VideoOutput : public FrameOutput {
 public:
  bool open(const VideoSettings& settings, std::string& error) { return file_.open(settings, error); }
  bool write(int32_t, uint32_t, uint32_t, const uint8_t* rgba, std::string& error) override {
    return file_.writeFrame(rgba, error);
  }
  bool finish(std::string& error) override { return file_.finish(error); }
  void abandon() override { file_.abandon(); }

 private:
  VideoFile file_;
};

}  // namespace

bool writePicture(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgba, std::string& error) {
  // A temporary name beside the final one: a reader never sees half a picture.
  const std::string temp = path + ".part";
  const std::string ext = outputExtension(path);
  bool ok = false;
  if (ext == "png") {
    ok = writePng(temp, width, height, rgba, error);
  } else {
    ok = writeTiffRgba8(temp, width, height, rgba, size_t(width) * 4);
    if (!ok) error = "cannot write " + path;
  }
  if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

std::string sequenceName(const std::string& pattern, int32_t number) {
  char name[4096];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(name, sizeof name, pattern.c_str(), int(number));
#pragma GCC diagnostic pop
  return name;
}

std::unique_ptr<FrameOutput> makeSequenceOutput(const std::string& pattern, bool makeFolder) {
  return std::make_unique<SequenceOutput>(pattern, makeFolder);
}

std::unique_ptr<FrameOutput> makePictureOutput(const std::string& path) {
  return std::make_unique<PictureOutput>(path);
}

std::unique_ptr<FrameOutput> makeVideoOutput(const VideoSettings& settings, std::string& error) {
  auto out = std::make_unique<VideoOutput>();
  if (!out->open(settings, error)) return nullptr;
  return out;
}

FrameWriter::FrameWriter(std::unique_ptr<FrameOutput> output, int buffers) : output_(std::move(output)) {
  for (int i = 0; i < buffers; ++i) free_.push_back(std::make_unique<Job>());
  worker_ = std::thread([this] { run(); });
}

FrameWriter::~FrameWriter() {
  if (!finished_) abandon();
}

std::vector<uint8_t>& FrameWriter::acquire(size_t bytes) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!current_) {
    changed_.wait(lock, [this] { return !free_.empty(); });
    current_ = std::move(free_.front());
    free_.pop_front();
  }
  current_->pixels.resize(bytes);
  return current_->pixels;
}

void FrameWriter::submit(int32_t number, uint32_t width, uint32_t height) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!current_) return;
  current_->number = number;
  current_->width = width;
  current_->height = height;
  queued_.push_back(std::move(current_));
  changed_.notify_all();
}

void FrameWriter::run() {
  for (;;) {
    std::unique_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
      if (queued_.empty()) return;
      job = std::move(queued_.front());
      queued_.pop_front();
    }
    std::string why;
    // After a failure the frames still queued are dropped: the render is stopping.
    bool skip = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      skip = failed_;
    }
    const bool ok = skip || output_->write(job->number, job->width, job->height, job->pixels.data(), why);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok && !failed_) {
      failed_ = true;
      error_ = why;
    }
    free_.push_back(std::move(job));
    changed_.notify_all();
  }
}

void FrameWriter::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (worker_.joinable()) worker_.join();
}

bool FrameWriter::failed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

std::string FrameWriter::error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

bool FrameWriter::finish(std::string& error) {
  stop();  // the worker empties the queue before it ends
  if (failed_) {
    error = error_;
    output_->abandon();
    finished_ = true;
    return false;
  }
  finished_ = true;
  if (!output_->finish(error)) {
    output_->abandon();
    return false;
  }
  return true;
}

void FrameWriter::abandon() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;  // queued frames are dropped
  }
  stop();
  if (!finished_) output_->abandon();
  finished_ = true;
}
