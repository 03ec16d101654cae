#pragma once
// Reads a video file back through FFmpeg's libraries for the tests: every picture as RGBA8
// (top row first) and the sound mixed to one channel, with where each starts.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace playertest {

struct DecodedVideo {
  bool ok = false;
  std::string videoCodec, audioCodec;
  int width = 0, height = 0;
  std::vector<std::vector<uint8_t>> frames;  // RGBA8
  std::vector<double> frameTimes;            // seconds
  int audioRate = 0;
  std::vector<float> sound;          // mono: the mean of the channels
  double soundStart = 0.0;           // time of sound[0], seconds
  double audioStreamSeconds = 0.0;   // the sound's length as the container states it, else as decoded
  double videoStart = 0.0;           // the video stream's start time, seconds
};

inline float sampleAt(const AVFrame* f, int channel, int i) {
  const int channels = f->ch_layout.nb_channels;
  switch (f->format) {
    case AV_SAMPLE_FMT_FLTP: return reinterpret_cast<const float*>(f->extended_data[channel])[i];
    case AV_SAMPLE_FMT_FLT: return reinterpret_cast<const float*>(f->extended_data[0])[i * channels + channel];
    case AV_SAMPLE_FMT_S16P: return reinterpret_cast<const int16_t*>(f->extended_data[channel])[i] / 32768.0f;
    case AV_SAMPLE_FMT_S16: return reinterpret_cast<const int16_t*>(f->extended_data[0])[i * channels + channel] / 32768.0f;
    case AV_SAMPLE_FMT_S32P: return float(reinterpret_cast<const int32_t*>(f->extended_data[channel])[i] / 2147483648.0);
    case AV_SAMPLE_FMT_S32:
      return float(reinterpret_cast<const int32_t*>(f->extended_data[0])[i * channels + channel] / 2147483648.0);
    default: return 0.0f;
  }
}

inline DecodedVideo readVideo(const std::string& path) {
  DecodedVideo out;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return out;
  if (avformat_find_stream_info(format, nullptr) < 0) {
    avformat_close_input(&format);
    return out;
  }
  struct Decoder {
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
  } video, audio;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    AVStream* st = format->streams[i];
    Decoder* d = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO   ? &video
                 : st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO ? &audio
                                                                 : nullptr;
    if (!d || d->codec) continue;
    const AVCodec* c = avcodec_find_decoder(st->codecpar->codec_id);
    d->codec = avcodec_alloc_context3(c);
    avcodec_parameters_to_context(d->codec, st->codecpar);
    d->codec->pkt_timebase = st->time_base;
    avcodec_open2(d->codec, c, nullptr);
    d->stream = st;
  }
  if (video.codec) out.videoCodec = avcodec_get_name(video.codec->codec_id);
  if (audio.stream && audio.stream->duration != AV_NOPTS_VALUE)
    out.audioStreamSeconds = double(audio.stream->duration) * av_q2d(audio.stream->time_base);
  if (video.stream && video.stream->start_time != AV_NOPTS_VALUE)
    out.videoStart = double(video.stream->start_time) * av_q2d(video.stream->time_base);
  if (audio.codec) out.audioCodec = avcodec_get_name(audio.codec->codec_id);
  SwsContext* sws = nullptr;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  bool firstSound = true;
  auto drain = [&](Decoder& d) {
    while (avcodec_receive_frame(d.codec, frame) == 0) {
      const int64_t pts = frame->best_effort_timestamp;
      const double t = pts == AV_NOPTS_VALUE ? 0.0 : double(pts) * av_q2d(d.stream->time_base);
      if (&d == &video) {
        out.width = frame->width;
        out.height = frame->height;
        sws = sws_getCachedContext(sws, frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                   frame->height, AV_PIX_FMT_RGBA, SWS_POINT | SWS_ACCURATE_RND, nullptr, nullptr,
                                   nullptr);
        std::vector<uint8_t> rgba(size_t(frame->width) * frame->height * 4);
        uint8_t* dst[1] = {rgba.data()};
        const int stride[1] = {frame->width * 4};
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, stride);
        out.frames.push_back(std::move(rgba));
        out.frameTimes.push_back(t);
      } else {
        out.audioRate = frame->sample_rate;
        if (firstSound) out.soundStart = t, firstSound = false;
        const int channels = frame->ch_layout.nb_channels;
        for (int i = 0; i < frame->nb_samples; ++i) {
          float sum = 0.0f;
          for (int c = 0; c < channels; ++c) sum += sampleAt(frame, c, i);
          out.sound.push_back(sum / float(channels));
        }
      }
    }
  };
  while (av_read_frame(format, packet) >= 0) {
    Decoder* d = video.stream && packet->stream_index == video.stream->index   ? &video
                 : audio.stream && packet->stream_index == audio.stream->index ? &audio
                                                                               : nullptr;
    if (d && avcodec_send_packet(d->codec, packet) >= 0) drain(*d);
    av_packet_unref(packet);
  }
  for (Decoder* d : {&video, &audio})
    if (d->codec) {
      avcodec_send_packet(d->codec, nullptr);
      drain(*d);
    }
  // Matroska states no length per stream: there the decoded sound is the length.
  if (out.audioStreamSeconds <= 0.0 && out.audioRate > 0) out.audioStreamSeconds = double(out.sound.size()) / out.audioRate;
  out.ok = true;
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&video.codec);
  avcodec_free_context(&audio.codec);
  avformat_close_input(&format);
  return out;
}

// The time of the first sample louder than `level`, or -1.
inline double soundOnset(const DecodedVideo& v, float level = 0.25f) {
  for (size_t i = 0; i < v.sound.size(); ++i)
    if (std::fabs(v.sound[i]) > level) return v.soundStart + double(i) / v.audioRate;
  return -1.0;
}

}  // namespace playertest
