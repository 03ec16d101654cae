#include "player/VideoFile.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "player/CommandLine.h"

namespace {

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

struct Choice {
  const char* muxer;
  const char* video;
  AVPixelFormat pixels;
  const char* audio;
};

Choice chooseCodecs(const std::string& ext, bool lossless) {
  if (ext == "webm") return {"webm", "libvpx-vp9", AV_PIX_FMT_YUV420P, "libopus"};
  if (ext == "mkv") {
    // FFV1 keeps the four 8-bit channels as they are: decoded, they equal the frame dump.
    if (lossless) return {"matroska", "ffv1", AV_PIX_FMT_BGRA, "flac"};
    return {"matroska", "libx264", AV_PIX_FMT_YUV420P, "flac"};
  }
  if (ext == "mov") return {"mov", "libx264", AV_PIX_FMT_YUV420P, "aac"};
  return {"mp4", "libx264", AV_PIX_FMT_YUV420P, "aac"};
}

}  // namespace

bool isVideoExtension(const std::string& ext) { return ext == "mp4" || ext == "mkv" || ext == "webm" || ext == "mov"; }

struct VideoFile::State {
  VideoSettings settings;
  std::string tempPath;
  AVFormatContext* format = nullptr;
  AVCodecContext* video = nullptr;
  AVStream* videoStream = nullptr;
  AVFrame* picture = nullptr;
  SwsContext* scale = nullptr;
  int64_t frames = 0;

  // Audio: the music file, resampled into the encoder's format through a FIFO that hands
  // the encoder whole frames.
  SNDFILE* music = nullptr;
  int musicChannels = 0;
  int musicRate = 0;
  int64_t musicFramesLeft = 0;  // input frames still to take from the file (or silence)
  AVCodecContext* audio = nullptr;
  AVStream* audioStream = nullptr;
  SwrContext* resample = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVFrame* sound = nullptr;
  int audioFrameSize = 0;
  int64_t audioPts = 0;  // output samples handed to the encoder
  std::vector<float> block;
  bool audioDone = false;

  AVPacket* packet = nullptr;
  bool headerWritten = false;
  bool finished = false;

  ~State() { close(true); }

  void close(bool removeTemp) {
    if (music) sf_close(music), music = nullptr;
    if (fifo) av_audio_fifo_free(fifo), fifo = nullptr;
    swr_free(&resample);
    sws_freeContext(scale), scale = nullptr;
    av_frame_free(&picture);
    av_frame_free(&sound);
    av_packet_free(&packet);
    avcodec_free_context(&video);
    avcodec_free_context(&audio);
    if (format) {
      if (format->pb) avio_closep(&format->pb);
      avformat_free_context(format);
      format = nullptr;
    }
    if (removeTemp && !tempPath.empty() && !finished) ::unlink(tempPath.c_str());
  }

  // Sends a frame (null: flush) and writes every packet that comes out.
  bool encode(AVCodecContext* codec, AVStream* stream, AVFrame* frame, std::string& error) {
    int r = avcodec_send_frame(codec, frame);
    if (r < 0) {
      error = "cannot encode " + settings.path + ": " + averror(r);
      return false;
    }
    for (;;) {
      r = avcodec_receive_packet(codec, packet);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) {
        error = "cannot encode " + settings.path + ": " + averror(r);
        return false;
      }
      av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      r = av_interleaved_write_frame(format, packet);
      if (r < 0) {
        error = "cannot write " + settings.path + ": " + averror(r);
        return false;
      }
    }
  }

  bool openVideo(const Choice& choice, std::string& error) {
    const AVCodec* codec = avcodec_find_encoder_by_name(choice.video);
    if (!codec) {
      error = std::string("cannot write ") + settings.path + ": this FFmpeg has no " + choice.video + " encoder";
      return false;
    }
    videoStream = avformat_new_stream(format, nullptr);
    video = avcodec_alloc_context3(codec);
    if (!videoStream || !video) {
      error = "cannot write " + settings.path + ": out of memory";
      return false;
    }
    video->width = int(settings.width);
    video->height = int(settings.height);
    video->time_base = AVRational{1, settings.fps};
    video->framerate = AVRational{settings.fps, 1};
    video->pix_fmt = choice.pixels;
    video->gop_size = settings.fps * 2;
    if (choice.pixels == AV_PIX_FMT_YUV420P) {
      video->color_range = AVCOL_RANGE_MPEG;
      video->colorspace = AVCOL_SPC_BT709;
      video->color_primaries = AVCOL_PRI_BT709;
      video->color_trc = AVCOL_TRC_BT709;
    }
    if (std::string(choice.video) == "libx264") {
      av_opt_set(video->priv_data, "preset", "fast", 0);
      av_opt_set_double(video->priv_data, "crf", settings.crf >= 0 ? settings.crf : 18, 0);
    } else if (std::string(choice.video) == "libvpx-vp9") {
      av_opt_set_int(video->priv_data, "crf", settings.crf >= 0 ? settings.crf : 30, 0);
      video->bit_rate = 0;
      av_opt_set_int(video->priv_data, "cpu-used", 5, 0);
      av_opt_set_int(video->priv_data, "row-mt", 1, 0);
      av_opt_set(video->priv_data, "deadline", "good", 0);
    } else if (std::string(choice.video) == "ffv1") {
      video->level = 3;
      av_opt_set_int(video->priv_data, "slicecrc", 1, 0);
      video->gop_size = 1;
    }
    if (format->oformat->flags & AVFMT_GLOBALHEADER) video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int r = avcodec_open2(video, codec, nullptr);
    if (r < 0) {
      error = std::string("cannot write ") + settings.path + ": the " + choice.video + " encoder refused " +
              std::to_string(settings.width) + "x" + std::to_string(settings.height) + ": " + averror(r);
      return false;
    }
    avcodec_parameters_from_context(videoStream->codecpar, video);
    videoStream->time_base = video->time_base;
    picture = av_frame_alloc();
    picture->format = video->pix_fmt;
    picture->width = video->width;
    picture->height = video->height;
    if (av_frame_get_buffer(picture, 0) < 0) {
      error = "cannot write " + settings.path + ": out of memory";
      return false;
    }
    if (choice.pixels == AV_PIX_FMT_YUV420P) {
      scale = sws_getContext(video->width, video->height, AV_PIX_FMT_RGBA, video->width, video->height,
                             AV_PIX_FMT_YUV420P, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr,
                             nullptr, nullptr);
      if (!scale) {
        error = "cannot write " + settings.path + ": no colour conversion to YUV 4:2:0";
        return false;
      }
      const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
      sws_setColorspaceDetails(scale, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    }
    return true;
  }

  bool openAudio(const Choice& choice, std::string& error) {
    SF_INFO info{};
    music = sf_open(settings.musicPath.c_str(), SFM_READ, &info);
    if (!music || info.channels < 1 || info.samplerate < 1) {
      error = "cannot read the music " + settings.musicPath + ": " + sf_strerror(music);
      if (music) sf_close(music), music = nullptr;
      return false;
    }
    musicChannels = info.channels;
    musicRate = info.samplerate;
    const int64_t start = std::llround(settings.audioStart * musicRate);
    musicFramesLeft = std::llround((settings.audioStart + settings.audioSeconds) * musicRate) - start;
    if (start > 0 && (start >= info.frames || sf_seek(music, start, SEEK_SET) < 0)) {
      // The range starts after the music: silence all along.
      sf_close(music);
      music = nullptr;
    }

    const AVCodec* codec = avcodec_find_encoder_by_name(choice.audio);
    if (!codec) {
      error = std::string("cannot write ") + settings.path + ": this FFmpeg has no " + choice.audio + " encoder";
      return false;
    }
    audioStream = avformat_new_stream(format, nullptr);
    audio = avcodec_alloc_context3(codec);
    if (!audioStream || !audio) {
      error = "cannot write " + settings.path + ": out of memory";
      return false;
    }
    // The music's rate when the encoder takes it (Opus takes 48 kHz only).
    int rate = codec->supported_samplerates ? codec->supported_samplerates[0] : musicRate;
    for (const int* r = codec->supported_samplerates; r && *r; ++r)
      if (*r == musicRate) rate = musicRate;
    audio->sample_rate = rate;
    audio->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&audio->ch_layout, std::min(musicChannels, 2));
    audio->time_base = AVRational{1, rate};
    if (std::string(choice.audio) != "flac") audio->bit_rate = std::string(choice.audio) == "libopus" ? 128000 : 192000;
    if (format->oformat->flags & AVFMT_GLOBALHEADER) audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int r = avcodec_open2(audio, codec, nullptr);
    if (r < 0) {
      error = std::string("cannot write ") + settings.path + ": the " + choice.audio + " encoder: " + averror(r);
      return false;
    }
    avcodec_parameters_from_context(audioStream->codecpar, audio);
    audioStream->time_base = audio->time_base;
    audioFrameSize = audio->frame_size > 0 ? audio->frame_size : 4096;

    AVChannelLayout in{};
    av_channel_layout_default(&in, musicChannels);
    r = swr_alloc_set_opts2(&resample, &audio->ch_layout, audio->sample_fmt, rate, &in, AV_SAMPLE_FMT_FLT,
                            musicRate, 0, nullptr);
    av_channel_layout_uninit(&in);
    if (r < 0 || swr_init(resample) < 0) {
      error = "cannot convert the music " + settings.musicPath + " for " + settings.path;
      return false;
    }
    fifo = av_audio_fifo_alloc(audio->sample_fmt, audio->ch_layout.nb_channels, audioFrameSize * 2);
    sound = av_frame_alloc();
    sound->format = audio->sample_fmt;
    sound->nb_samples = audioFrameSize;
    sound->sample_rate = rate;
    av_channel_layout_copy(&sound->ch_layout, &audio->ch_layout);
    if (!fifo || av_frame_get_buffer(sound, 0) < 0) {
      error = "cannot write " + settings.path + ": out of memory";
      return false;
    }
    return true;
  }

  // Encodes whole frames from the FIFO; with `all`, the last partial one too.
  bool drainFifo(bool all, std::string& error) {
    while (av_audio_fifo_size(fifo) >= audioFrameSize || (all && av_audio_fifo_size(fifo) > 0)) {
      const int n = std::min(audioFrameSize, av_audio_fifo_size(fifo));
      if (av_frame_make_writable(sound) < 0) {
        error = "cannot write " + settings.path + ": out of memory";
        return false;
      }
      sound->nb_samples = n;
      av_audio_fifo_read(fifo, reinterpret_cast<void**>(sound->data), n);
      sound->pts = audioPts;
      audioPts += n;
      if (!encode(audio, audioStream, sound, error)) return false;
    }
    return true;
  }

  // Takes the music up to `seconds` after the start of the range into the encoder.
  bool audioUntil(double seconds, std::string& error) {
    if (!audio || audioDone) return true;
    const int64_t wanted =
        std::max<int64_t>(0, std::min<int64_t>(musicFramesLeft, std::llround(seconds * musicRate) - consumed));
    int64_t left = wanted;
    const int64_t kBlock = 2048;
    block.resize(size_t(kBlock * musicChannels));
    while (left > 0) {
      const int64_t n = std::min(left, kBlock);
      sf_count_t got = music ? sf_readf_float(music, block.data(), n) : 0;
      if (got < 0) got = 0;
      // Past the end of the file: silence, so the sound lasts as long as the pictures.
      std::fill(block.begin() + got * musicChannels, block.begin() + n * musicChannels, 0.0f);
      if (!pushAudio(reinterpret_cast<const uint8_t*>(block.data()), int(n), error)) return false;
      left -= n;
    }
    consumed += wanted;
    musicFramesLeft -= wanted;
    return drainFifo(false, error);
  }

  bool pushAudio(const uint8_t* in, int frames, std::string& error) {
    const int room = swr_get_out_samples(resample, frames);
    uint8_t** out = nullptr;
    int lineSize = 0;
    if (av_samples_alloc_array_and_samples(&out, &lineSize, audio->ch_layout.nb_channels, std::max(room, 1),
                                           audio->sample_fmt, 0) < 0) {
      error = "cannot write " + settings.path + ": out of memory";
      return false;
    }
    const uint8_t* inputs[1] = {in};
    const int made = swr_convert(resample, out, room, in ? inputs : nullptr, frames);
    if (made > 0) av_audio_fifo_write(fifo, reinterpret_cast<void**>(out), made);
    av_freep(&out[0]);
    av_freep(&out);
    if (made < 0) {
      error = "cannot convert the music " + settings.musicPath + " for " + settings.path;
      return false;
    }
    return true;
  }

  bool finishAudio(std::string& error) {
    if (!audio || audioDone) return true;
    if (!audioUntil(settings.audioSeconds + 1.0, error)) return false;
    if (!pushAudio(nullptr, 0, error)) return false;  // what the resampler still holds
    // Exactly the range's length: the resampler may round by a sample or two.
    const int64_t expected = std::llround(settings.audioSeconds * audio->sample_rate);
    const int64_t extra = audioPts + av_audio_fifo_size(fifo) - expected;
    if (extra > 0) av_audio_fifo_drain(fifo, int(std::min<int64_t>(extra, av_audio_fifo_size(fifo))));
    if (!drainFifo(true, error)) return false;
    audioDone = true;
    return encode(audio, audioStream, nullptr, error);
  }

  int64_t consumed = 0;  // input frames taken since the start of the range
};

VideoFile::VideoFile() = default;
VideoFile::~VideoFile() = default;

bool VideoFile::open(const VideoSettings& settings, std::string& error) {
  s_ = std::make_unique<State>();
  State& s = *s_;
  s.settings = settings;
  const std::string ext = outputExtension(settings.path);
  if (!isVideoExtension(ext)) {
    error = "cannot write " + settings.path + ": not a .mp4, .mkv, .webm or .mov name";
    return false;
  }
  const Choice choice = chooseCodecs(ext, settings.lossless);
  if (choice.pixels == AV_PIX_FMT_YUV420P && (settings.width % 2 || settings.height % 2)) {
    error = "cannot write " + settings.path + ": " + choice.video + " needs an even width and height, not " +
            std::to_string(settings.width) + "x" + std::to_string(settings.height) + " (see --size)";
    return false;
  }
  av_log_set_level(AV_LOG_ERROR);
  s.tempPath = settings.path + ".part";
  int r = avformat_alloc_output_context2(&s.format, nullptr, choice.muxer, s.tempPath.c_str());
  if (r < 0 || !s.format) {
    error = "cannot write " + settings.path + ": " + averror(r);
    return false;
  }
  // No random identifiers or dates: the same frames give the same file, so renders can
  // be compared and cached.
  s.format->flags |= AVFMT_FLAG_BITEXACT;
  s.packet = av_packet_alloc();
  if (!s.openVideo(choice, error)) return false;
  if (!settings.musicPath.empty() && !s.openAudio(choice, error)) return false;
  r = avio_open(&s.format->pb, s.tempPath.c_str(), AVIO_FLAG_WRITE);
  if (r < 0) {
    error = "cannot write " + s.tempPath + ": " + averror(r);
    s.tempPath.clear();  // nothing was created
    return false;
  }
  r = avformat_write_header(s.format, nullptr);
  if (r < 0) {
    error = "cannot write " + settings.path + ": " + averror(r);
    return false;
  }
  s.headerWritten = true;
  return true;
}

bool VideoFile::writeFrame(const uint8_t* rgba, std::string& error) {
  if (!s_ || !s_->headerWritten) {
    error = "the video file is not open";
    return false;
  }
  State& s = *s_;
  if (av_frame_make_writable(s.picture) < 0) {
    error = "cannot write " + s.settings.path + ": out of memory";
    return false;
  }
  const int w = int(s.settings.width), h = int(s.settings.height);
  if (s.scale) {
    const uint8_t* src[1] = {rgba};
    const int stride[1] = {w * 4};
    sws_scale(s.scale, src, stride, 0, h, s.picture->data, s.picture->linesize);
  } else {
    // RGBA to BGRA, byte for byte.
    for (int y = 0; y < h; ++y) {
      const uint8_t* in = rgba + size_t(y) * size_t(w) * 4;
      uint8_t* out = s.picture->data[0] + size_t(y) * size_t(s.picture->linesize[0]);
      for (int x = 0; x < w; ++x, in += 4, out += 4) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        out[3] = in[3];
      }
    }
  }
  s.picture->pts = s.frames++;
  if (!s.encode(s.video, s.videoStream, s.picture, error)) return false;
  return s.audioUntil(double(s.frames) / double(s.settings.fps), error);
}

bool VideoFile::finish(std::string& error) {
  if (!s_ || !s_->headerWritten) {
    error = "the video file is not open";
    return false;
  }
  State& s = *s_;
  if (!s.encode(s.video, s.videoStream, nullptr, error)) return false;
  if (!s.finishAudio(error)) return false;
  int r = av_write_trailer(s.format);
  if (r < 0) {
    error = "cannot write " + s.settings.path + ": " + averror(r);
    return false;
  }
  r = avio_closep(&s.format->pb);
  if (r < 0) {
    error = "cannot write " + s.settings.path + ": " + averror(r);
    return false;
  }
  std::error_code ec;
  std::filesystem::rename(s.tempPath, s.settings.path, ec);
  if (ec) {
    error = "cannot write " + s.settings.path + ": " + ec.message();
    return false;
  }
  s.finished = true;
  s.close(false);
  return true;
}

void VideoFile::abandon() { s_.reset(); }
