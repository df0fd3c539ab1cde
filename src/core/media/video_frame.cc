#include "core/media/video_frame.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/thumbs/vips_runtime.h"

namespace tallowick {

namespace {

// Containers a phone or camera writes, plus the raw streams people keep.
// Playlist, concat and image-sequence demuxers are left out: they open other
// files or URLs named inside the file.
constexpr const char* kAllowedFormats =
    "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,mpeg,mpegts,mpegvideo,flv,asf,ogg,m4v,h264,"
    "hevc,dv,mxf,nut,rm,wtv,ivf,obu,yuv4mpegpipe";

// Bounds on the work for one frame, whatever the file claims: a stream with
// no timestamps or a run of undecodable packets ends here instead of being
// read to its end.
constexpr int kMaxPacketsRead = 20'000;
constexpr int kMaxFramesDecoded = 1'000;

struct FormatClose {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScaleFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

void quietLibraries() {
  static std::once_flag once;
  // Broken files are expected input; the decoders' complaints would only
  // clutter the terminal of the command-line tools.
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

bool withinLimits(int width, int height) {
  return width > 0 && height > 0 &&
         static_cast<long long>(width) * static_cast<long long>(height) <= kMaxImagePixels;
}

// Quarter turns clockwise and a mirror that make the decoded picture upright,
// read from the stream's display matrix.
struct Orientation {
  int quarterTurns = 0;  // 0..3, clockwise
  bool mirror = false;   // mirror left-right before turning
};

Orientation orientationOf(const AVStream* stream) {
  Orientation out;
  const auto* matrix = reinterpret_cast<const std::int32_t*>(
      av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
  if (matrix == nullptr) return out;
  std::int32_t m[9];
  std::copy(matrix, matrix + 9, m);
  // A negative determinant means the matrix mirrors; undo the mirror of the
  // first column so what is left is a pure rotation.
  const double det = static_cast<double>(m[0]) * m[4] - static_cast<double>(m[1]) * m[3];
  if (det < 0) {
    out.mirror = true;
    m[0] = -m[0];
    m[3] = -m[3];
  }
  // av_display_rotation_get is counter-clockwise; the picture must be turned
  // clockwise by the same angle to be shown upright.
  const double ccw = av_display_rotation_get(m);
  if (std::isnan(ccw)) return out;
  const long turns = std::lround(-ccw / 90.0);
  out.quarterTurns = static_cast<int>(((turns % 4) + 4) % 4);
  return out;
}

Thumbnailer::Image mirrored(const Thumbnailer::Image& in) {
  Thumbnailer::Image out = in;
  const int c = in.channels;
  for (int y = 0; y < in.height; ++y)
    for (int x = 0; x < in.width; ++x)
      std::copy_n(&in.pixels[(static_cast<std::size_t>(y) * in.width + x) * c], c,
                  &out.pixels[(static_cast<std::size_t>(y) * in.width + (in.width - 1 - x)) * c]);
  return out;
}

Thumbnailer::Image turned(const Thumbnailer::Image& in, int quarterTurns) {
  if (quarterTurns == 0) return in;
  Thumbnailer::Image out;
  out.channels = in.channels;
  const bool swap = quarterTurns % 2 == 1;
  out.width = swap ? in.height : in.width;
  out.height = swap ? in.width : in.height;
  out.pixels.resize(in.pixels.size());
  const int c = in.channels;
  for (int y = 0; y < in.height; ++y) {
    for (int x = 0; x < in.width; ++x) {
      int ox = x, oy = y;
      switch (quarterTurns) {
        case 1:  // clockwise
          ox = in.height - 1 - y;
          oy = x;
          break;
        case 2:
          ox = in.width - 1 - x;
          oy = in.height - 1 - y;
          break;
        case 3:  // counter-clockwise
          ox = y;
          oy = in.width - 1 - x;
          break;
      }
      std::copy_n(&in.pixels[(static_cast<std::size_t>(y) * in.width + x) * c], c,
                  &out.pixels[(static_cast<std::size_t>(oy) * out.width + ox) * c]);
    }
  }
  return out;
}

// Scales `frame` to RGB so that its displayed shape (sample aspect ratio
// applied) fits maxPixel x maxPixel.
std::optional<Thumbnailer::Image> toRGB(const AVFrame* frame, int maxPixel) {
  if (!withinLimits(frame->width, frame->height) || frame->format < 0) return std::nullopt;
  double displayWidth = frame->width;
  const double displayHeight = frame->height;
  const AVRational sar = frame->sample_aspect_ratio;
  if (sar.num > 0 && sar.den > 0) displayWidth = displayWidth * sar.num / sar.den;
  const double scale = std::min(1.0, maxPixel / std::max(displayWidth, displayHeight));
  const int width = std::clamp(static_cast<int>(std::lround(displayWidth * scale)), 1, maxPixel);
  const int height = std::clamp(static_cast<int>(std::lround(displayHeight * scale)), 1, maxPixel);

  std::unique_ptr<SwsContext, ScaleFree> scaler(
      sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), width,
                     height, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler) return std::nullopt;
  // Untagged HD video is BT.709 in practice; SD keeps the BT.601 default.
  int space = frame->colorspace;
  if (space == AVCOL_SPC_UNSPECIFIED || space == AVCOL_SPC_RESERVED)
    space = frame->height >= 720 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
  const bool fullRange = frame->color_range == AVCOL_RANGE_JPEG;
  sws_setColorspaceDetails(scaler.get(), sws_getCoefficients(space), fullRange,
                           sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);

  Thumbnailer::Image out;
  out.width = width;
  out.height = height;
  out.channels = 3;
  out.pixels.resize(static_cast<std::size_t>(width) * height * 3);
  std::uint8_t* planes[4] = {out.pixels.data(), nullptr, nullptr, nullptr};
  int strides[4] = {width * 3, 0, 0, 0};
  if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides) !=
      height)
    return std::nullopt;
  return out;
}

}  // namespace

std::optional<Thumbnailer::Image> decodeVideoFrame(const std::string& path, int maxPixel) {
  if (maxPixel <= 0) return std::nullopt;
  quietLibraries();

  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  av_dict_set(&options, "format_whitelist", kAllowedFormats, 0);
  AVFormatContext* rawFormat = nullptr;
  // "file:" keeps a colon in the name from being read as another protocol.
  const std::string url = "file:" + path;
  const int opened = avformat_open_input(&rawFormat, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) return std::nullopt;
  std::unique_ptr<AVFormatContext, FormatClose> format(rawFormat);
  if (avformat_find_stream_info(format.get(), nullptr) < 0) return std::nullopt;

  const AVCodec* codec = nullptr;
  const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (index < 0 || codec == nullptr) return std::nullopt;
  AVStream* stream = format->streams[index];
  if (!withinLimits(stream->codecpar->width, stream->codecpar->height)) return std::nullopt;
  // Only the one stream is read; dropping the others skips their packets in
  // the demuxer.
  for (unsigned i = 0; i < format->nb_streams; ++i)
    if (static_cast<int>(i) != index) format->streams[i]->discard = AVDISCARD_ALL;

  std::unique_ptr<AVCodecContext, CodecFree> decoder(avcodec_alloc_context3(codec));
  if (!decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0)
    return std::nullopt;
  // Renders already run several at once on worker threads.
  decoder->thread_count = 1;
  if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return std::nullopt;

  const std::int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
  const std::int64_t target =
      start + av_rescale_q(static_cast<std::int64_t>(kVideoFrameSeconds * AV_TIME_BASE),
                           AV_TIME_BASE_Q, stream->time_base);
  // The key frame at or before the target; when seeking is impossible the
  // read simply goes on from the start.
  av_seek_frame(format.get(), index, target, AVSEEK_FLAG_BACKWARD);

  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  std::unique_ptr<AVFrame, FrameFree> kept(av_frame_alloc());
  if (!packet || !frame || !kept) return std::nullopt;
  bool haveFrame = false;
  bool reached = false;
  int framesDecoded = 0;

  // Takes every frame the decoder has ready; the last one is kept so that a
  // video shorter than the target yields its final frame.
  auto drain = [&] {
    while (!reached && avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
      ++framesDecoded;
      av_frame_unref(kept.get());
      av_frame_move_ref(kept.get(), frame.get());
      haveFrame = true;
      const std::int64_t ts = kept->best_effort_timestamp;
      if ((ts != AV_NOPTS_VALUE && ts >= target) || framesDecoded >= kMaxFramesDecoded)
        reached = true;
    }
  };

  for (int packets = 0; !reached && packets < kMaxPacketsRead; ++packets) {
    const int read = av_read_frame(format.get(), packet.get());
    if (read < 0) break;
    if (packet->stream_index == index) {
      // A damaged packet is refused and skipped; later ones may still decode.
      avcodec_send_packet(decoder.get(), packet.get());
      drain();
    }
    av_packet_unref(packet.get());
  }
  if (!reached) {
    avcodec_send_packet(decoder.get(), nullptr);
    drain();
  }
  if (!haveFrame) return std::nullopt;

  std::optional<Thumbnailer::Image> rgb = toRGB(kept.get(), maxPixel);
  if (!rgb) return std::nullopt;
  const Orientation orientation = orientationOf(stream);
  if (orientation.mirror) rgb = mirrored(*rgb);
  return turned(*rgb, orientation.quarterTurns);
}

}  // namespace tallowick
