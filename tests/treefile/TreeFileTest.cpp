#include "treefile/TreeFile.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Builds tree-file bytes by hand, so the tests can say exactly which widths and
// headers a record uses, including ones no writer would produce.
class Bytes {
 public:
  Bytes& u8(uint32_t v) { return put(v, 1); }
  Bytes& u16(uint32_t v) { return put(v, 2); }
  Bytes& u32(uint32_t v) { return put(v, 4); }
  Bytes& raw(std::string_view s) {
    data_.append(s);
    return *this;
  }
  Bytes& magic() { return u32(TreeFile::kMagic); }
  Bytes& names(std::initializer_list<std::string_view> list) {
    u32(static_cast<uint32_t>(list.size()));
    for (std::string_view n : list) u16(static_cast<uint32_t>(n.size())).raw(n);
    return *this;
  }
  // Header word: widths are codes 0..3 for name index, sibling, size, child count.
  Bytes& header(uint32_t type, uint32_t nameW, uint32_t sibW = 0, uint32_t sizeW = 0, uint32_t countW = 0) {
    return u16((0xBu << 12) | (countW << 10) | (sizeW << 8) | (sibW << 6) | (nameW << 4) | type);
  }
  Bytes& field(uint32_t v, uint32_t code) {
    static const unsigned widths[4] = {0, 1, 2, 4};
    return put(v, widths[code]);
  }
  const std::string& str() const { return data_; }

 private:
  Bytes& put(uint32_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) data_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return *this;
  }
  std::string data_;
};

bool readBytes(TreeFile& f, const std::string& bytes, const TreeReadLimits& limits = {}) {
  std::istringstream in(bytes, std::ios::binary);
  return f.read(in, limits);
}

std::string writeBytes(const TreeFile& f) {
  std::ostringstream out(std::ios::binary);
  EXPECT_TRUE(f.write(out));
  return out.str();
}

float floatOf(const TreeNode& n) {
  uint32_t w = 0;
  std::memcpy(&w, n.value.data(), std::min<size_t>(4, n.value.size()));
  return std::bit_cast<float>(w);
}

// Deep comparison; names compare exactly here, since a round trip must keep spelling.
::testing::AssertionResult sameTree(const TreeNode& a, const TreeNode& b, std::string path = "/") {
  if (a.name != b.name || a.siblingIndex != b.siblingIndex || a.type != b.type || a.value != b.value) {
    return ::testing::AssertionFailure() << "node differs at " << path;
  }
  if (a.children.size() != b.children.size()) return ::testing::AssertionFailure() << "child count differs at " << path;
  auto ia = a.children.begin();
  auto ib = b.children.begin();
  for (; ia != a.children.end(); ++ia, ++ib) {
    auto r = sameTree(*ia->second, *ib->second, path + ia->second->name + "#" + std::to_string(ia->second->siblingIndex) + "/");
    if (!r) return r;
  }
  return ::testing::AssertionSuccess();
}

// Every node of `part` is in `whole` with the same value, or is the last node read
// when the stream gave out (its value may be cut short).
size_t countNodes(const TreeNode& n) {
  size_t c = 0;
  for (const auto& [k, ch] : n.children) c += 1 + countNodes(*ch);
  return c;
}

TreeNode& addInt(TreeNode& parent, const char* name, uint32_t index, int32_t v) {
  TreeNode& n = parent.getOrCreateChild(name, index);
  n.type = NodeType::Int;
  n.value.resize(4);
  std::memcpy(n.value.data(), &v, 4);
  return n;
}

// A tree touching every width code and type.
void buildSample(TreeFile& f) {
  TreeNode& root = f.root();
  TreeNode& g = root.getOrCreateChild("graph", 0);
  addInt(g, "id", 0, -7);
  TreeNode& nm = g.getOrCreateChild("name", 0);
  nm.type = NodeType::String;
  nm.value.assign(300, 'x');
  for (uint32_t i = 0; i < 3; ++i) {
    TreeNode& op = g.getOrCreateChild("operator", i);
    addInt(op, "id", 0, static_cast<int32_t>(i));
    TreeNode& p = op.getOrCreateChild("pos_x", 0);
    p.type = NodeType::Float;
    const float x = 1.5f * static_cast<float>(i);
    p.value.resize(4);
    std::memcpy(p.value.data(), &x, 4);
  }
  addInt(root, "track", 70000, 5);
  addInt(root, "track", 300, 6);
  root.getOrCreateChild("empty", 0);
  TreeNode& odd = root.getOrCreateChild("odd", 1);
  odd.type = NodeType::Other4;
  odd.value = {1, 2};
  TreeNode& big = root.getOrCreateChild("big", 2);
  big.type = NodeType::String;
  big.value.assign(70000, 'b');
}

// ---------------------------------------------------------------------------------

TEST(TreeFileRead, AFileEndingBeforeItsCountsIsAnEmptyTreeCutShort) {
  // Every file written holds both counts; one that stops before them lost its content.
  const struct {
    std::string bytes;
    ReadProblem problem;
  } cases[] = {
      {Bytes().magic().str(), ReadProblem::CutShort},
      {Bytes().magic().u32(0).str(), ReadProblem::CutShort},
      {Bytes().u32(0xA0A2A1A4).str(), ReadProblem::NotAProduction},
      {"\xA3\xA1\xA2", ReadProblem::NotAProduction},
      {"", ReadProblem::Empty},
  };
  for (const auto& c : cases) {
    TreeFile f;
    f.root().getOrCreateChild("stale", 0);
    EXPECT_FALSE(readBytes(f, c.bytes)) << c.bytes.size();
    EXPECT_EQ(f.problem(), c.problem) << c.bytes.size();
    EXPECT_TRUE(f.root().children.empty());
  }
  // Both counts and nothing in them: a complete, empty production.
  TreeFile f;
  EXPECT_TRUE(readBytes(f, Bytes().magic().u32(0).u32(0).str()));
  EXPECT_EQ(f.problem(), ReadProblem::None);
}

TEST(TreeFileRead, WidthCodesAndImpliedFields) {
  Bytes b;
  b.magic().names({"a", "b", "s", "c"}).u32(4);
  // Type 1, no size field: exactly four value bytes; no sibling field: index 0.
  b.header(1, 1).field(0, 1).u32(0x12345678);
  // Two-byte sibling, two-byte size, one-byte count with a child of four-byte name index.
  b.header(3, 2, 2, 2, 1).field(1, 2).field(513, 2).field(5, 2).field(1, 1).raw("hello");
  b.header(2, 3, 3).field(3, 3).field(0x7FFFFFFF, 3).u32(std::bit_cast<uint32_t>(2.5f));
  // Type 0 with no size: no value at all; explicit zero-width count of 0 via code 1.
  b.header(0, 1, 1, 0, 1).field(2, 1).field(9, 1).field(0, 1);
  // A one-byte size on an integer shorter than four bytes.
  b.header(1, 1, 1, 1).field(0, 1).field(1, 1).field(2, 1).u16(0xFFFF);

  TreeFile f;
  ASSERT_TRUE(readBytes(f, b.str()));
  const TreeNode& root = f.root();
  ASSERT_EQ(root.children.size(), 4u);

  const TreeNode* a = root.findChild("a", 0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->type, NodeType::Int);
  EXPECT_EQ(a->value.size(), 4u);
  EXPECT_EQ(toText(*a), std::to_string(0x12345678));

  const TreeNode* bNode = root.findChild("b", 513);
  ASSERT_NE(bNode, nullptr);
  EXPECT_EQ(toText(*bNode), "hello");
  const TreeNode* c = bNode->findChild("c", 0x7FFFFFFF);
  ASSERT_NE(c, nullptr);
  EXPECT_FLOAT_EQ(floatOf(*c), 2.5f);

  const TreeNode* s = root.findChild("s", 9);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->type, NodeType::None);
  EXPECT_TRUE(s->value.empty());

  // Two bytes of an integer read as the zero-extended word.
  const TreeNode* a1 = root.findChild("a", 1);
  ASSERT_NE(a1, nullptr);
  EXPECT_EQ(toText(*a1), "65535");
}

TEST(TreeFileRead, RepeatedPairsMergeAndNamesFoldCase) {
  Bytes b;
  b.magic().names({"Graph", "graph", "x", "y"}).u32(2);
  b.header(1, 1, 0, 0, 1).field(0, 1).field(1, 1).u32(1);
  b.header(1, 1).field(2, 1).u32(10);
  // Same pair spelled differently: the value is replaced, the new child joins the old one.
  b.header(1, 1, 0, 0, 1).field(1, 1).field(1, 1).u32(2);
  b.header(1, 1).field(3, 1).u32(20);

  TreeFile f;
  ASSERT_TRUE(readBytes(f, b.str()));
  ASSERT_EQ(f.root().children.size(), 1u);
  const TreeNode* g = f.root().findChild("GRAPH", 0);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(toText(*g), "2");
  EXPECT_NE(g->findChild("x", 0), nullptr);
  EXPECT_NE(g->findChild("Y", 0), nullptr);

  // Letters fold, other bytes do not: "_" (0x5F) sorts between "Z" and "a" only if
  // folding were done the wrong way round.
  TreeNode n;
  n.getOrCreateChild("a_", 0);
  n.getOrCreateChild("AZ", 0);
  n.getOrCreateChild("\xC4", 0);
  n.getOrCreateChild("\xE4", 0);
  EXPECT_EQ(n.children.size(), 4u);
  EXPECT_EQ(n.children.begin()->first.name, "a_");  // '_' (0x5F) < 'z' (0x7A)
}

TEST(TreeFileRead, BadRecordsFailButKeepWhatWasRead) {
  auto prefix = [] {
    Bytes b;
    b.magic().names({"ok", "bad"}).u32(3);
    b.header(1, 1).field(0, 1).u32(42);
    return b;
  };
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"top bits not 0xB", prefix().u16(0xA011).field(1, 1).u32(1).str()},
      {"type above 5", prefix().header(6, 1).field(1, 1).u32(1).str()},
      {"name width 0", prefix().header(1, 0).u32(1).str()},
      {"name index out of range", prefix().header(1, 1).field(2, 1).u32(1).str()},
      {"negative name index", prefix().header(1, 3).field(0xFFFFFFFF, 3).u32(1).str()},
      {"negative value size", prefix().header(3, 1, 0, 3).field(1, 1).field(0x80000000, 3).str()},
  };
  for (const auto& [what, bytes] : cases) {
    TreeFile f;
    EXPECT_FALSE(readBytes(f, bytes)) << what;
    const TreeNode* ok = f.root().findChild("ok", 0);
    ASSERT_NE(ok, nullptr) << what;
    EXPECT_EQ(toText(*ok), "42") << what;
    EXPECT_EQ(f.root().findChild("bad", 0), nullptr) << what;
  }
}

TEST(TreeFileRead, NegativeChildCountReadsNoChildren) {
  Bytes b;
  b.magic().names({"p", "q"}).u32(2);
  b.header(0, 1, 0, 0, 3).field(0, 1).field(0xFFFFFFF0, 3);
  b.header(1, 1).field(1, 1).u32(3);
  TreeFile f;
  ASSERT_TRUE(readBytes(f, b.str()));
  ASSERT_NE(f.root().findChild("p", 0), nullptr);
  EXPECT_TRUE(f.root().findChild("p", 0)->children.empty());
  EXPECT_NE(f.root().findChild("q", 0), nullptr);
}

// ---------------------------------------------------------------------------------
// Hostile and damaged input

TEST(TreeFileHostile, EveryPrefixOfAValidFileFailsSafely) {
  TreeFile full;
  buildSample(full);
  const std::string bytes = writeBytes(full);
  const size_t total = countNodes(full.root());
  for (size_t len = 0; len < bytes.size(); ++len) {
    // Step through the big string value quickly; every other byte position matters.
    if (len > 2000 && len + 2000 < bytes.size() && len % 997 != 0) continue;
    TreeFile f;
    const bool ok = readBytes(f, bytes.substr(0, len));
    // Every cut is reported.
    EXPECT_FALSE(ok) << "prefix length " << len;
    EXPECT_LE(countNodes(f.root()), total) << "prefix length " << len;
  }
  TreeFile f;
  ASSERT_TRUE(readBytes(f, bytes));
  EXPECT_TRUE(sameTree(f.root(), full.root()));
}

TEST(TreeFileHostile, HugeCountsOnShortStreamsEndQuickly) {
  const auto start = std::chrono::steady_clock::now();
  TreeFile f;
  // Name count near 2^31 with three names present.
  EXPECT_FALSE(readBytes(f, Bytes().magic().u32(0x7FFFFFFF).u16(1).raw("a").u16(1).raw("b").u16(0).str()));
  // A name longer than the stream.
  EXPECT_FALSE(readBytes(f, Bytes().magic().u32(1).u16(0xFFFF).raw("abc").str()));
  // Root child count near 2^31 with one record present.
  {
    Bytes b;
    b.magic().names({"n"}).u32(0x7FFFFFFF).header(1, 1).field(0, 1).u32(1);
    EXPECT_FALSE(readBytes(f, b.str()));
    EXPECT_NE(f.root().findChild("n", 0), nullptr);
  }
  // A node child count near 2^31.
  {
    Bytes b;
    b.magic().names({"n"}).u32(1).header(0, 1, 0, 0, 3).field(0, 1).field(0x7FFFFFFF, 3);
    EXPECT_FALSE(readBytes(f, b.str()));
  }
  // A value size past the byte limit is refused before anything is read.
  {
    Bytes b;
    b.magic().names({"n"}).u32(1).header(3, 1, 0, 3).field(0, 1).field(0x7FFFFFFF, 3).raw("abc");
    EXPECT_FALSE(readBytes(f, b.str()));
    EXPECT_EQ(f.root().findChild("n", 0), nullptr);
  }
  // A size within the limit on a stream of a few bytes: read as far as it goes, no more.
  {
    Bytes b;
    b.magic().names({"n"}).u32(1).header(3, 1, 0, 3).field(0, 1).field(200u << 20, 3).raw("abc");
    EXPECT_FALSE(readBytes(f, b.str()));
    const TreeNode* n = f.root().findChild("n", 0);
    ASSERT_NE(n, nullptr);
    EXPECT_LE(n->value.capacity(), 128u * 1024u);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(TreeFileHostile, LimitsBoundDepthNodesAndValueBytes) {
  // A chain of nested records far deeper than the limit.
  auto chain = [](uint32_t depth) {
    Bytes b;
    b.magic().names({"d"}).u32(1);
    for (uint32_t i = 0; i + 1 < depth; ++i) b.header(0, 1, 0, 0, 1).field(0, 1).field(1, 1);
    b.header(0, 1).field(0, 1);
    return b.str();
  };
  TreeFile f;
  TreeReadLimits limits;
  limits.maxDepth = 64;
  EXPECT_TRUE(readBytes(f, chain(64), limits));
  EXPECT_FALSE(readBytes(f, chain(65), limits));
  // Far beyond any stack: must fail cleanly, not crash.
  EXPECT_FALSE(readBytes(f, chain(200000)));
  // Reading a file, the message says which limit stopped it, not just "damaged".
  {
    const std::string path = ::testing::TempDir() + "treefile_deep.bin";
    {
      const std::string bytes = chain(1000);
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::string error;
    EXPECT_FALSE(f.readFile(path, &error));
    EXPECT_NE(error.find(path), std::string::npos);
    EXPECT_NE(error.find("deeper than 256"), std::string::npos) << error;
    std::remove(path.c_str());
  }

  Bytes many;
  many.magic().names({"n"}).u32(10);
  for (uint32_t i = 0; i < 10; ++i) many.header(1, 1, 1).field(0, 1).field(i, 1).u32(i);
  limits = {};
  limits.maxNodes = 10;
  EXPECT_TRUE(readBytes(f, many.str(), limits));
  limits.maxNodes = 9;
  EXPECT_FALSE(readBytes(f, many.str(), limits));
  EXPECT_EQ(f.root().children.size(), 9u);

  limits = {};
  limits.maxTotalValueBytes = 40;
  EXPECT_TRUE(readBytes(f, many.str(), limits));
  limits.maxTotalValueBytes = 39;
  EXPECT_FALSE(readBytes(f, many.str(), limits));
}

// ---------------------------------------------------------------------------------
// Writing

TEST(TreeFileWrite, RoundTripKeepsEveryNode) {
  TreeFile a;
  buildSample(a);
  const std::string bytes = writeBytes(a);
  TreeFile b;
  ASSERT_TRUE(readBytes(b, bytes));
  EXPECT_TRUE(sameTree(a.root(), b.root()));
  // Writing what was read gives the same bytes.
  EXPECT_EQ(writeBytes(b), bytes);
}

TEST(TreeFileWrite, DeepTreesAndUnwritableTrees) {
  TreeFile deep;
  TreeNode* n = &deep.root();
  for (int i = 0; i < 3000; ++i) n = &n->getOrCreateChild("d", 0);
  const std::string bytes = writeBytes(deep);
  TreeFile back;
  TreeReadLimits limits;
  limits.maxDepth = 3000;
  EXPECT_TRUE(readBytes(back, bytes, limits));
  EXPECT_TRUE(sameTree(deep.root(), back.root()));
  limits.maxDepth = 2999;
  EXPECT_FALSE(readBytes(back, bytes, limits));

  TreeFile longName;
  longName.root().getOrCreateChild(std::string(70000, 'n'), 0);
  std::ostringstream out;
  EXPECT_FALSE(longName.write(out));

  TreeFile badType;
  badType.root().getOrCreateChild("t", 0).type = static_cast<NodeType>(9);
  EXPECT_FALSE(badType.write(out));
}

TEST(TreeFileWrite, FilesOnDisk) {
  TreeFile a;
  buildSample(a);
  const std::string path = ::testing::TempDir() + "treefile_roundtrip.bin";
  ASSERT_TRUE(a.writeFile(path));
  TreeFile b;
  ASSERT_TRUE(b.readFile(path));
  EXPECT_TRUE(sameTree(a.root(), b.root()));
  // A file cut short keeps what could be read and says so.
  std::string bytes;
  {
    std::ifstream f(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(f), {});
  }
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size() - 1));
  }
  std::string error;
  bool opened = false;
  EXPECT_FALSE(b.readFile(path, &error, &opened));
  EXPECT_TRUE(opened);
  EXPECT_NE(error.find(path), std::string::npos);
  EXPECT_FALSE(b.root().children.empty());
  std::remove(path.c_str());
  // A file that cannot be opened leaves an empty tree, not the previous one.
  const std::string missing = ::testing::TempDir() + "no/such/file.opr_b";
  EXPECT_FALSE(b.readFile(missing, &error, &opened));
  EXPECT_FALSE(opened);
  EXPECT_NE(error.find(missing), std::string::npos);
  EXPECT_TRUE(b.root().children.empty());
  const std::string unwritable = ::testing::TempDir() + "no/such/dir/out.opr_b";
  EXPECT_FALSE(a.writeFile(unwritable, &error));
  EXPECT_NE(error.find(unwritable), std::string::npos);
}

TEST(TreeFileWrite, MessagesSayWhatIsWrongWithTheFile) {
  const std::string dir = ::testing::TempDir() + "treefile_messages";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir + "/folder.opr_b");
  auto put = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    return dir + "/" + name;
  };
  Bytes damaged;
  damaged.magic().names({"n"}).u32(2).header(1, 1).field(0, 1).u32(7).u16(0x1234);
  const struct {
    std::string path;
    bool opened;
    const char* says;
  } cases[] = {
      {dir + "/folder.opr_b", false, "is a folder"},
      {put("empty.opr_b", ""), true, "is empty"},
      {put("noise.opr_b", "this is not a production file at all"), true, "is not a production file"},
      {put("magic.opr_b", Bytes().magic().str()), true, "is cut short"},
      {put("damaged.opr_b", damaged.str()), true, "is damaged at byte"},
  };
  for (const auto& c : cases) {
    TreeFile f;
    std::string error;
    bool opened = !c.opened;
    EXPECT_FALSE(f.readFile(c.path, &error, &opened)) << c.path;
    EXPECT_EQ(opened, c.opened) << c.path;
    EXPECT_EQ(error.find(c.path), 0u) << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------------------------
// Accessors

TEST(TreeAccessors, ReadingZeroesAndConvertsText) {
  TreeNode root;
  auto text = [&](const char* name, std::string_view s) {
    TreeNode& n = root.getOrCreateChild(name, 0);
    n.type = NodeType::String;
    n.value.assign(s.begin(), s.end());
  };
  text("f", " 2.5abc");
  text("i1", "12 \t\r\n");
  text("i2", "12a");
  text("i3", "0x1F");
  text("i4", " -0X10 ");
  text("i5", "4294967297");
  text("s", "hello");
  addInt(root, "neg", 0, -2);
  TreeNode& other = root.getOrCreateChild("o4", 0);
  other.type = NodeType::Other4;
  other.value = {1, 0, 0, 0};

  const TreeNodeRef r{&root, false};
  // Every read starts from a junk value: a child that is missing or of the wrong kind
  // must zero it, not leave it.
  auto asFloat = [&](const char* name) {
    float v = 9.0f;
    serializeFloat(r, name, v);
    return v;
  };
  auto asInt = [&](const char* name) {
    int32_t v = 77;
    serializeInt(r, name, v);
    return v;
  };
  auto asString = [&](const char* name) {
    std::string v = "old";
    serializeString(r, name, v);
    return v;
  };
  EXPECT_FLOAT_EQ(asFloat("f"), 2.5f);
  EXPECT_EQ(asFloat("missing"), 0.0f);
  EXPECT_EQ(asFloat("neg"), 0.0f);  // an integer is not a float
  const std::pair<const char*, int32_t> ints[] = {
      {"i1", 12}, {"i2", 0}, {"i3", 31}, {"i4", -16}, {"i5", 1}, {"o4", 0},
      {"f", 0},  // "2.5abc" has junk after the number
  };
  for (auto [name, expected] : ints) EXPECT_EQ(asInt(name), expected) << name;
  uint8_t b = 5;
  serializeInt(r, "neg", b);
  EXPECT_EQ(b, 0xFE);
  uint32_t u = 5;
  serializeInt(r, "neg", u);
  EXPECT_EQ(u, 0xFFFFFFFEu);
  EXPECT_EQ(asString("s"), "hello");
  EXPECT_EQ(asString("neg"), "-2");
  EXPECT_EQ(asString("o4"), "");
  EXPECT_EQ(asString("missing"), "");

  TreeNode& px = root.getOrCreateChild("pos_x", 0);
  px.type = NodeType::Float;
  const float three = 3.0f;
  px.value.resize(4);
  std::memcpy(px.value.data(), &three, 4);
  float v[2] = {7, 7};
  serializeVec2(r, "pos", v);
  EXPECT_EQ(v[0], 3.0f);
  EXPECT_EQ(v[1], 0.0f);

  // A null handle stands for a missing child everywhere.
  const TreeNodeRef none{};
  float f = 1;
  serializeFloat(none, "f", f);
  EXPECT_EQ(f, 0.0f);
  EXPECT_EQ(child(none, "x", 0).node, nullptr);
  EXPECT_EQ(countChildren(none, "x"), 0u);
}

TEST(TreeAccessors, ChildAndCount) {
  TreeNode root;
  root.getOrCreateChild("key", 0);
  root.getOrCreateChild("Key", 1);
  root.getOrCreateChild("key", 3);
  const TreeNodeRef r{&root, false};
  EXPECT_EQ(countChildren(r, "KEY"), 2u);  // index 2 is a gap
  EXPECT_EQ(child(r, nullptr, 5).node, &root);
  EXPECT_EQ(child(r, "key", 2).node, nullptr);
  EXPECT_EQ(root.children.size(), 3u);  // reading never creates

  const TreeNodeRef w{&root, true};
  const TreeNodeRef made = child(w, "key", 2);
  ASSERT_NE(made.node, nullptr);
  EXPECT_TRUE(made.writing);
  EXPECT_EQ(made.node->type, NodeType::None);
  EXPECT_EQ(countChildren(r, "key"), 4u);
}

TEST(TreeAccessors, WritingRoundTripsThroughBytes) {
  TreeFile f;
  const TreeNodeRef w{&f.root(), true};
  int32_t i = -5;
  uint32_t u = 0xF0000001u;
  uint8_t b = 200;
  float x = -0.125f;
  float pos[2] = {1.25f, -2.0f};
  std::string s("a b\0c", 5);
  s.push_back('\0');
  serializeInt(w, "i", i);
  serializeInt(w, "u", u);
  serializeInt(w, "b", b);
  serializeFloat(w, "x", x);
  serializeVec2(w, "pos", pos);
  serializeString(w, "s", s);
  // Writing over an existing child replaces its value and keeps its children.
  TreeNode& keep = f.root().getOrCreateChild("over", 0).getOrCreateChild("sub", 0);
  (void)keep;
  std::string over = "text";
  serializeString(w, "over", over);
  int32_t over2 = 3;
  serializeInt(w, "over", over2);

  const TreeNode* bn = f.root().findChild("b", 0);
  ASSERT_NE(bn, nullptr);
  EXPECT_EQ(bn->type, NodeType::Int);
  EXPECT_EQ(bn->value, (std::vector<uint8_t>{200, 0, 0, 0}));  // unsigned: zero-extended
  const TreeNode* in = f.root().findChild("i", 0);
  EXPECT_EQ(in->value, (std::vector<uint8_t>{0xFB, 0xFF, 0xFF, 0xFF}));
  EXPECT_NE(f.root().findChild("pos_y", 0), nullptr);
  const TreeNode* ov = f.root().findChild("over", 0);
  EXPECT_EQ(ov->type, NodeType::Int);
  EXPECT_EQ(ov->value.size(), 4u);
  EXPECT_NE(ov->findChild("sub", 0), nullptr);

  // Reading what was written, through bytes, gives every value back.
  TreeFile back;
  ASSERT_TRUE(readBytes(back, writeBytes(f)));
  const TreeNodeRef r{&back.root(), false};
  int32_t i2 = 0;
  uint32_t u2 = 0;
  uint8_t b2 = 0;
  float x2 = 0, pos2[2] = {0, 0};
  std::string s2;
  serializeInt(r, "i", i2), serializeInt(r, "u", u2), serializeInt(r, "b", b2);
  serializeFloat(r, "x", x2), serializeVec2(r, "pos", pos2), serializeString(r, "s", s2);
  EXPECT_EQ(std::tuple(i2, u2, b2, x2, pos2[0], pos2[1]), std::tuple(i, u, b, x, pos[0], pos[1]));
  EXPECT_EQ(s2, s);  // embedded zero bytes survive
}

// ---------------------------------------------------------------------------------
// Text forms

TEST(TreeText, NumbersPrintInTheirFixedForms) {
  auto node = [](NodeType t, uint32_t w) {
    TreeNode n;
    n.type = t;
    n.value = {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w >> 16),
               static_cast<uint8_t>(w >> 24)};
    return n;
  };
  auto fl = [&](float v) { return toText(node(NodeType::Float, std::bit_cast<uint32_t>(v))); };
  EXPECT_EQ(fl(0.0f), "0.00000000e+00");
  EXPECT_EQ(fl(1.5f), "1.50000000");
  EXPECT_EQ(fl(-1.0f), "-1.00000000");
  EXPECT_EQ(fl(0.5f), "5.00000000e-01");
  EXPECT_EQ(fl(2097151.0f), "2097151.00000000");
  EXPECT_EQ(fl(2097152.0f), "2.09715200e+06");
  EXPECT_EQ(fl(std::numeric_limits<float>::infinity()), "1.#Inf");
  EXPECT_EQ(fl(-std::numeric_limits<float>::infinity()), "-1.#Inf");
  EXPECT_EQ(toText(node(NodeType::Float, 0x7FC00000)), "1.#QNAN");
  EXPECT_EQ(toText(node(NodeType::Float, 0xFFC00000)), "-1.#QNAN");
  EXPECT_EQ(toText(node(NodeType::Int, 0xFFFFFFFF)), "-1");
  EXPECT_EQ(toText(node(NodeType::Other5, 0xFFFFFFFF)), "18446744073709551615");
  EXPECT_EQ(toText(node(NodeType::Other5, 7)), "7");
  EXPECT_EQ(toText(node(NodeType::Other4, 7)), "");
  EXPECT_EQ(toText(node(NodeType::None, 7)), "");
}

TEST(TreeText, ParsingNumbers) {
  int32_t v = 5;
  EXPECT_TRUE(parseIntText("  +42", v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(parseIntText("0xffffffff", v));
  EXPECT_EQ(v, -1);
  EXPECT_TRUE(parseIntText("-2147483648", v));
  EXPECT_EQ(v, std::numeric_limits<int32_t>::min());
  EXPECT_FALSE(parseIntText("0x", v));
  EXPECT_FALSE(parseIntText("", v));
  EXPECT_FALSE(parseIntText("- 1", v));
  EXPECT_FALSE(parseIntText("1.5", v));
  EXPECT_EQ(v, 0);

  EXPECT_EQ(parseFloatText("  -3.25e1xyz"), -32.5f);
  EXPECT_EQ(parseFloatText("+.5"), 0.5f);
  EXPECT_EQ(parseFloatText("1e"), 1.0f);
  EXPECT_EQ(parseFloatText("abc"), 0.0f);
  EXPECT_EQ(parseFloatText("1e39"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(parseFloatText("-1e400"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(parseFloatText("1e-400"), 0.0f);
  EXPECT_EQ(parseFloatText("1.#Inf"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(parseFloatText("-1.#INF"), -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(parseFloatText("1.#QNAN")));
  EXPECT_TRUE(std::signbit(parseFloatText("-1.#QNAN")));
  EXPECT_EQ(parseFloatText("1.#X"), 1.0f);

  // Every float printed by toText reads back as the same float.
  for (float x : {0.0f, 1.5f, -1.0f / 3.0f, 123456.789f, 3.0e-20f, 7.0e30f, 2097152.0f, 1.0e-42f}) {
    TreeNode n;
    n.type = NodeType::Float;
    const uint32_t w = std::bit_cast<uint32_t>(x);
    n.value = {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w >> 16),
               static_cast<uint8_t>(w >> 24)};
    EXPECT_EQ(parseFloatText(toText(n)), x) << toText(n);
  }
}

}  // namespace
