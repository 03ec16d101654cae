// The list of files a production could not use: each named once, with whoever asked.
#include <gtest/gtest.h>

#include "gfx/LoadFailures.h"

TEST(LoadFailures, EachFileOnceWithTheOperatorThatAsked) {
  takeLoadFailures();
  noteLoadFailure("shader", "data/shaders/a.hlsl", "a.hlsl:3: error\nmore lines of the compiler");
  // A program's second stage, or a texture asked for again: the same line.
  noteLoadFailure("shader", "data/shaders/a.hlsl", "a.hlsl:3: error\nmore");
  attributeLoadFailures(0, "graph 1, operator 2 ImageShader");
  const size_t mark = loadFailureCount();
  noteLoadFailure("texture", "data/textures/t.png", "cannot read it");
  attributeLoadFailures(mark, "graph 1, operator 5 Sprite");
  attributeLoadFailures(0, "someone later");  // never replaces who asked first
  noteLoadFailure("music", "m.ogg", "cannot read it");

  std::vector<LoadFailure> list = takeLoadFailures();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].why, "a.hlsl:3: error");
  EXPECT_EQ(list[0].requester, "graph 1, operator 2 ImageShader");
  EXPECT_EQ(list[1].requester, "graph 1, operator 5 Sprite");
  EXPECT_EQ(describeLoadFailures(list),
            "3 files could not be used:\n"
            "  shader data/shaders/a.hlsl: a.hlsl:3: error (asked for by graph 1, operator 2 ImageShader)\n"
            "  texture data/textures/t.png: cannot read it (asked for by graph 1, operator 5 Sprite)\n"
            "  music m.ogg: cannot read it\n");
  EXPECT_EQ(loadFailureCount(), 0u);  // taken: the next load starts empty
  EXPECT_EQ(describeLoadFailures({}), "");
}
