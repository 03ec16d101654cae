#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "player/Log.h"
#include "player/Progress.h"

namespace {

std::string contents(FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  int c;
  while ((c = std::fgetc(f)) != EOF) s.push_back(char(c));
  return s;
}

size_t count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(TerminalProgress, TerminalRewritesOneLine) {
  FILE* f = std::tmpfile();
  {
    TerminalProgress p(f, true);
    for (int i = 1; i <= 4; ++i) p.loading(i, 4);
    p.finish();
    p.dumped(0, 0.0f, "framedump/frame_000000.tiff");
    p.dumped(1, 1.0f / 60, "framedump/frame_000001.tiff");
  }  // the destructor ends the open line
  std::string s = contents(f);
  std::fclose(f);
  EXPECT_EQ(count(s, "\r"), 6u);
  EXPECT_EQ(count(s, "\n"), 2u);
  EXPECT_NE(s.find("4/4"), std::string::npos);
  EXPECT_NE(s.find("framedump/frame_000001.tiff"), std::string::npos);
  EXPECT_EQ(s.back(), '\n');
}

TEST(TerminalProgress, FilesGetPlainLinesNowAndThen) {
  FILE* f = std::tmpfile();
  {
    TerminalProgress p(f, false);
    for (int i = 1; i <= 200; ++i) p.loading(i, 200);
    for (int32_t frame = 0; frame <= 120; ++frame) p.dumped(frame, frame / 60.0f, "x.tiff");
  }
  std::string s = contents(f);
  std::fclose(f);
  EXPECT_EQ(s.find('\r'), std::string::npos);
  EXPECT_EQ(count(s, "Loading"), 11u);  // first operator, every tenth, the last
  EXPECT_NE(s.find("200/200"), std::string::npos);
  EXPECT_EQ(count(s, "Frame "), 3u);  // frames 0, 60, 120
}

TEST(TerminalProgress, LogLinesStartOnAFreshLine) {
  FILE* f = std::tmpfile();
  TerminalProgress p(f, true);
  p.loading(1, 2);
  testing::internal::CaptureStderr();
  logText("Initializing %s\n", "Bloom");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Initializing Bloom\n");
  p.loading(2, 2);
  p.finish();
  std::string s = contents(f);
  std::fclose(f);
  // The rewritten line was ended before the log line, then a new one began.
  EXPECT_EQ(count(s, "\n"), 2u);
  EXPECT_LT(s.find('\n'), s.find("2/2"));
}
