#pragma once
// The player's command line: zarvo [PRODUCTION] [options]. Without arguments the player
// plays demo.opr_b as it always did; options ask for an offline render of one frame, a
// range of frames or a video.
#include <cstdint>
#include <string>
#include <vector>

enum class OutputKind {
  None,       // no -o: live playback, or the frame dump's TIFF files
  Picture,    // one .png or .tiff picture (needs --at)
  Sequence,   // a name with %d: one numbered picture per frame
  Video,      // .mp4, .mkv, .webm or .mov with the music
};

struct CommandLine {
  std::string production = "demo.opr_b";
  bool productionGiven = false;
  bool hasAt = false, hasFrom = false, hasTo = false;
  double at = 0.0, from = 0.0, to = 0.0;
  int32_t fps = 60;
  bool fpsGiven = false;
  int32_t width = 0, height = 0;  // 0: the size of config.ini
  std::string output;
  OutputKind outputKind = OutputKind::None;
  int32_t crf = -1;  // -1: the encoder's default quality
  bool lossless = false;
  bool noPreroll = false;
  bool help = false, version = false;
  // --profile: renders offscreen without writing frames and prints where the time goes;
  // --csv FILE also writes the operator table there.
  bool profile = false;
  std::string csv;
  // The author's loop: per-program loading lines, failures as errors, live reload.
  bool verbose = false;  // --verbose: a line for every shader program loaded
  bool strict = false;   // --strict: a file that could not be used ends the run with status 1
  bool watch = false;    // --watch: play, and reload when the production or its files change

  // True when anything asks for an offline render (a time, a range, a rate, an output or a
  // profile).
  bool offline() const { return hasAt || hasFrom || hasTo || fpsGiven || !output.empty() || profile; }
};

// Parses argv[1..]. False with `error` set to one line naming the option and saying what
// is expected (the program then exits with status 2).
bool parseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error);

// The file extension of an output path, lower case, without the dot ("" when none).
std::string outputExtension(const std::string& path);

// The --help text.
const char* commandLineUsage();
