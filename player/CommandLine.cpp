#include "player/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

bool toDouble(const std::string& word, double& out) {
  if (word.empty()) return false;
  const char* first = word.data();
  const char* last = first + word.size();
  double value = 0.0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last || !std::isfinite(value)) return false;
  out = value;
  return true;
}

bool toInt(const std::string& word, int32_t& out) {
  const char* first = word.data();
  const char* last = first + word.size();
  int32_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (word.empty() || error != std::errc() || end != last) return false;
  out = value;
  return true;
}

// "%d" or a printf width such as "%06d", exactly once, and no other conversion.
bool isSequencePattern(const std::string& path) {
  int conversions = 0;
  bool numbered = false;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '%') continue;
    if (i + 1 < path.size() && path[i + 1] == '%') {
      ++i;
      continue;
    }
    ++conversions;
    size_t j = i + 1;
    if (j < path.size() && path[j] == '0') ++j;
    while (j < path.size() && std::isdigit(static_cast<unsigned char>(path[j]))) ++j;
    if (j < path.size() && path[j] == 'd') numbered = true;
  }
  return conversions == 1 && numbered;
}

}  // namespace

std::string outputExtension(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

bool parseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error) {
  out = CommandLine{};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // The value after an option, or an error naming what it expects.
    auto value = [&](const char* expected, std::string& v) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value: " + expected;
        return false;
      }
      v = args[++i];
      return true;
    };
    auto seconds = [&](double& target, bool& given) {
      std::string v;
      if (!value("a time in seconds, such as 6 or 1.5", v)) return false;
      if (!toDouble(v, target) || target < 0.0) {
        error = a + " " + v + ": expected a time in seconds, 0 or more, such as 6 or 1.5";
        return false;
      }
      given = true;
      return true;
    };
    if (a == "--help" || a == "-h") {
      out.help = true;
    } else if (a == "--version") {
      out.version = true;
    } else if (a == "--profile") {
      out.profile = true;
    } else if (a == "--csv") {
      if (!value("a file for the profile's table, such as profile.csv", out.csv)) return false;
      if (out.csv.empty()) {
        error = "--csv needs a file name, such as profile.csv";
        return false;
      }
    } else if (a == "--at") {
      if (!seconds(out.at, out.hasAt)) return false;
    } else if (a == "--from") {
      if (!seconds(out.from, out.hasFrom)) return false;
    } else if (a == "--to") {
      if (!seconds(out.to, out.hasTo)) return false;
    } else if (a == "--fps") {
      std::string v;
      if (!value("frames a second, a whole number from 1 to 240", v)) return false;
      if (!toInt(v, out.fps) || out.fps < 1 || out.fps > 240) {
        error = "--fps " + v + ": expected frames a second, a whole number from 1 to 240";
        return false;
      }
      out.fpsGiven = true;
    } else if (a == "--size") {
      std::string v;
      if (!value("WIDTHxHEIGHT in pixels, such as 1280x720", v)) return false;
      const size_t x = v.find('x');
      if (x == std::string::npos || !toInt(v.substr(0, x), out.width) || !toInt(v.substr(x + 1), out.height) ||
          out.width < 1 || out.height < 1 || out.width > 16384 || out.height > 16384) {
        error = "--size " + v + ": expected WIDTHxHEIGHT in pixels from 1 to 16384, such as 1280x720";
        return false;
      }
    } else if (a == "-o" || a == "--output") {
      if (!value("a file: .png or .tiff, a name with %d, or .mp4, .mkv, .webm or .mov", out.output)) return false;
    } else if (a == "--crf") {
      std::string v;
      if (!value("a video quality from 0 (best) to 51", v)) return false;
      if (!toInt(v, out.crf) || out.crf < 0 || out.crf > 51) {
        error = "--crf " + v + ": expected a video quality from 0 (best) to 51";
        return false;
      }
    } else if (a == "--lossless") {
      out.lossless = true;
    } else if (a == "--no-preroll") {
      out.noPreroll = true;
    } else if (a == "--verbose") {
      out.verbose = true;
    } else if (a == "--strict") {
      out.strict = true;
    } else if (a == "--watch") {
      out.watch = true;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      error = "unknown option " + a + " (zarvo --help lists the options)";
      return false;
    } else if (!out.productionGiven) {
      out.production = a;
      out.productionGiven = true;
    } else {
      error = "one production only: " + out.production + " and " + a;
      return false;
    }
  }

  if (out.hasAt && (out.hasFrom || out.hasTo)) {
    error = "--at shows one frame: it does not go with --from or --to";
    return false;
  }
  if (out.hasFrom && out.hasTo && out.from >= out.to) {
    char text[160];
    std::snprintf(text, sizeof text, "--from %g is not before --to %g: the range is empty", out.from, out.to);
    error = text;
    return false;
  }
  if (!out.output.empty()) {
    const std::string ext = outputExtension(out.output);
    if (isSequencePattern(out.output)) {
      if (ext != "png" && ext != "tiff" && ext != "tif") {
        error = "-o " + out.output + ": a numbered sequence ends in .png or .tiff";
        return false;
      }
      out.outputKind = OutputKind::Sequence;
    } else if (ext == "png" || ext == "tiff" || ext == "tif") {
      if (!out.hasAt) {
        error = "-o " + out.output + ": one picture needs --at TIME (or a name with %d for a sequence)";
        return false;
      }
      out.outputKind = OutputKind::Picture;
    } else if (ext == "mp4" || ext == "mkv" || ext == "webm" || ext == "mov") {
      out.outputKind = OutputKind::Video;
    } else {
      error = "-o " + out.output + ": expected .png or .tiff, a name with %d, or .mp4, .mkv, .webm or .mov";
      return false;
    }
  }
  if (out.watch && out.offline()) {
    error = "--watch plays and reloads: it does not go with --at, --from, --to, --fps or -o";
    return false;
  }
  if (out.lossless && !(out.outputKind == OutputKind::Video && outputExtension(out.output) == "mkv")) {
    error = "--lossless writes FFV1 in Matroska: it needs -o NAME.mkv";
    return false;
  }
  if (out.crf >= 0 && out.outputKind != OutputKind::Video) {
    error = "--crf sets the quality of a video: it needs -o NAME.mp4, .mkv, .webm or .mov";
    return false;
  }
  if (!out.csv.empty() && !out.profile) {
    error = "--csv writes the table of a profile: it needs --profile";
    return false;
  }
  // A profile writes no frames: writing them would be measured too.
  if (out.profile && !out.output.empty()) {
    error = "--profile writes no frames: it does not go with -o (render and profile in separate runs)";
    return false;
  }
  return true;
}

const char* commandLineUsage() {
  return "usage: zarvo [PRODUCTION] [options]\n"
         "Plays PRODUCTION (default demo.opr_b; a .json source is read directly) in the current folder.\n"
         "With any of the options below it renders offline instead, never in a window.\n"
         "  --at T          the one frame shown at T seconds (frame round(T x fps))\n"
         "  --from A        first time of the range (default 0)\n"
         "  --to B          end of the range, not included (default: the end of the production)\n"
         "  --fps N         frames a second of the render (default 60)\n"
         "  --size WxH      picture size (default: config.ini's)\n"
         "  -o PATH         where the pictures go: a .png or .tiff picture (with --at),\n"
         "                  a numbered sequence (out/frame_%06d.png), or a video with the music\n"
         "                  (.mp4, .mov: H.264 and AAC; .webm: VP9 and Opus; .mkv: H.264 and FLAC)\n"
         "                  without -o: framedump/frame_%06d.tiff\n"
         "  --crf Q         video quality, 0 (best) to 51 (default 18 for H.264, 30 for VP9)\n"
         "  --lossless      a master: FFV1 and FLAC in Matroska (-o NAME.mkv), the exact pictures\n"
         "  --no-preroll    with --at or --from: skip the frames before, a fast approximate picture\n"
         "                  for productions with feedback, particles, fluids, cloth or camera shake\n"
         "  --profile       render without writing frames and print where the frame time goes:\n"
         "                  each operator's calls, CPU and GPU milliseconds per frame, most\n"
         "                  expensive first, then each timeline span's frame times\n"
         "  --csv FILE      with --profile: also write the operator table to FILE as CSV\n"
         "  --watch         play in a window (offscreen without a display) and reload when the\n"
         "                  production or a shader, texture, mesh or music file it uses changes\n"
         "  --verbose       a line for every shader program loaded\n"
         "  --strict        a file that could not be used (shader, texture, mesh, music) ends the run\n"
         "                  with status 1\n"
         "  --help, --version\n";
}
