// The player's command line: what each option asks for, and one line naming the option
// for every value that cannot be used.
#include <gtest/gtest.h>

#include "player/CommandLine.h"

namespace {

CommandLine parse(std::vector<std::string> args, bool expectOk = true) {
  CommandLine cl;
  std::string error;
  EXPECT_EQ(parseCommandLine(args, cl, error), expectOk) << error;
  return cl;
}

std::string problem(std::vector<std::string> args) {
  CommandLine cl;
  std::string error;
  EXPECT_FALSE(parseCommandLine(args, cl, error));
  EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
  return error;
}

}  // namespace

TEST(CommandLine, NoArgumentsIsTodaysPlayback) {
  CommandLine cl = parse({});
  EXPECT_FALSE(cl.offline());
  EXPECT_EQ(cl.production, "demo.opr_b");
  // A production or a size alone still plays live.
  EXPECT_FALSE(parse({"other.json", "--size", "640x360"}).offline());
}

TEST(CommandLine, OptionsSayWhatToRenderAndWhere) {
  CommandLine one = parse({"scene.json", "--at", "6", "-o", "f.PNG", "--size", "1280x720"});
  EXPECT_TRUE(one.offline());
  EXPECT_EQ(one.production, "scene.json");
  EXPECT_TRUE(one.hasAt);
  EXPECT_EQ(one.at, 6.0);
  EXPECT_EQ(one.outputKind, OutputKind::Picture);
  EXPECT_EQ(one.width, 1280);
  EXPECT_EQ(one.height, 720);

  CommandLine range = parse({"--from", "1.5", "--to", "3", "--fps", "30", "-o", "out/frame_%06d.tiff"});
  EXPECT_EQ(range.outputKind, OutputKind::Sequence);
  EXPECT_EQ(range.from, 1.5);
  EXPECT_EQ(range.to, 3.0);
  EXPECT_EQ(range.fps, 30);

  EXPECT_EQ(parse({"-o", "a.mp4", "--crf", "23"}).outputKind, OutputKind::Video);
  EXPECT_EQ(parse({"-o", "a.mkv", "--lossless"}).lossless, true);
  EXPECT_EQ(parse({"-o", "a.webm"}).outputKind, OutputKind::Video);
  EXPECT_EQ(parse({"-o", "a.mov", "--at", "1"}).outputKind, OutputKind::Video);  // a one-frame video
  EXPECT_TRUE(parse({"--at", "2", "--no-preroll"}).noPreroll);
  EXPECT_TRUE(parse({"--fps", "24"}).offline());  // the frame dump at another rate
  CommandLine loop = parse({"scene.json", "--watch", "--verbose", "--strict"});
  EXPECT_TRUE(loop.watch && loop.verbose && loop.strict);
  EXPECT_FALSE(loop.offline());  // the loop plays; it renders nothing offline
  EXPECT_TRUE(parse({"--help"}).help);
  EXPECT_TRUE(parse({"--version"}).version);
}

TEST(CommandLine, BadInputNamesTheOptionAndWhatIsExpected) {
  EXPECT_NE(problem({"--watch", "--at", "1"}).find("--watch plays and reloads"), std::string::npos);
  EXPECT_NE(problem({"--watch", "-o", "a.mp4"}).find("--watch"), std::string::npos);
  EXPECT_EQ(problem({"--frobnicate"}), "unknown option --frobnicate (zarvo --help lists the options)");
  EXPECT_NE(problem({"--at"}).find("--at needs a value"), std::string::npos);
  EXPECT_NE(problem({"--at", "six"}).find("--at six: expected a time in seconds"), std::string::npos);
  EXPECT_NE(problem({"--at", "-1"}).find("--at -1"), std::string::npos);
  EXPECT_NE(problem({"--at", "nan"}).find("--at nan"), std::string::npos);
  EXPECT_NE(problem({"--fps", "0"}).find("--fps 0: expected"), std::string::npos);
  EXPECT_NE(problem({"--fps", "29.97"}).find("--fps 29.97"), std::string::npos);
  EXPECT_NE(problem({"--size", "1280"}).find("--size 1280: expected WIDTHxHEIGHT"), std::string::npos);
  EXPECT_NE(problem({"--size", "0x10"}).find("--size 0x10"), std::string::npos);
  EXPECT_NE(problem({"--size", "12x34x5"}).find("--size 12x34x5"), std::string::npos);
  EXPECT_NE(problem({"--crf", "60", "-o", "a.mp4"}).find("--crf 60"), std::string::npos);
  EXPECT_NE(problem({"--from", "2", "--to", "1"}).find("--from 2 is not before --to 1"), std::string::npos);
  EXPECT_NE(problem({"--from", "1", "--to", "1"}).find("--from 1 is not before --to 1"), std::string::npos);
  EXPECT_NE(problem({"--at", "1", "--from", "0"}).find("--at"), std::string::npos);
  EXPECT_NE(problem({"-o", "f.png"}).find("needs --at"), std::string::npos);
  EXPECT_NE(problem({"-o", "f.gif"}).find("-o f.gif: expected"), std::string::npos);
  EXPECT_NE(problem({"-o", "f_%d_%d.png"}).find("-o f_%d_%d.png"), std::string::npos);
  EXPECT_NE(problem({"-o", "f_%s.png"}).find("-o f_%s.png"), std::string::npos);
  EXPECT_NE(problem({"-o", "f.mp4", "--lossless"}).find("--lossless"), std::string::npos);
  EXPECT_NE(problem({"--crf", "20"}).find("--crf"), std::string::npos);
  EXPECT_NE(problem({"a.json", "b.json"}).find("one production only"), std::string::npos);
}

TEST(CommandLine, OutputExtensionsAreReadWithoutCaseAndOnlyFromTheFileName) {
  EXPECT_EQ(outputExtension("out/Clip.MP4"), "mp4");
  EXPECT_EQ(outputExtension("out.d/clip"), "");
  EXPECT_EQ(outputExtension("clip"), "");
}
