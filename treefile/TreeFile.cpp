#include "treefile/TreeFile.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>
#include <limits>
#include <ostream>
#include <locale.h>
#include <stdlib.h>

// ---------------------------------------------------------------------------------
// Names and keys

namespace {

inline unsigned char foldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

// ASCII letters fold to lower case; everything else compares byte-wise (unsigned).
int compareNames(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char ca = foldAscii(static_cast<unsigned char>(a[i]));
    const unsigned char cb = foldAscii(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool keyLess(std::string_view an, uint32_t ai, std::string_view bn, uint32_t bi) {
  const int c = compareNames(an, bn);
  if (c != 0) return c < 0;
  return ai < bi;
}

}  // namespace

bool TreeNode::KeyLess::operator()(const Key& a, const Key& b) const { return keyLess(a.name, a.index, b.name, b.index); }
bool TreeNode::KeyLess::operator()(const Key& a, const KeyRef& b) const { return keyLess(a.name, a.index, b.name, b.index); }
bool TreeNode::KeyLess::operator()(const KeyRef& a, const Key& b) const { return keyLess(a.name, a.index, b.name, b.index); }

TreeNode* TreeNode::findChild(std::string_view childName, uint32_t index) const {
  auto it = children.find(KeyRef{childName, index});
  return it == children.end() ? nullptr : it->second.get();
}

TreeNode& TreeNode::getOrCreateChild(std::string_view childName, uint32_t index) {
  const KeyRef key{childName, index};
  auto it = children.lower_bound(key);
  if (it != children.end() && !KeyLess{}(key, it->first)) return *it->second;
  auto node = std::make_unique<TreeNode>();
  node->name = std::string(childName);
  node->siblingIndex = index;
  TreeNode& ref = *node;
  children.emplace_hint(it, Key{ref.name, index}, std::move(node));
  return ref;
}

// ---------------------------------------------------------------------------------
// Reading

namespace {

// Reads from the stream and remembers whether any read came up short. A short read
// leaves the destination at its preset, as the format expects, but the reader still
// needs to know about it: a file cut inside a record must not be reported as read.
class ByteSource {
 public:
  explicit ByteSource(std::istream& in) : in_(in) {}

  // Reads n (<= 4) bytes little-endian into a value preset to 0. Returns false on a
  // short read (the value then stays 0).
  bool readUint(unsigned n, uint32_t& out) {
    out = 0;
    unsigned char buf[4] = {0, 0, 0, 0};
    const size_t got = readRaw(buf, n);
    if (got != n) {
      truncated_ = true;
      return false;
    }
    for (unsigned i = 0; i < n; ++i) out |= static_cast<uint32_t>(buf[i]) << (8 * i);
    return true;
  }

  // Appends up to n bytes to dst, growing it only as data actually arrives, so a
  // hostile size on a short stream never allocates more than the stream holds.
  bool readInto(std::vector<uint8_t>& dst, uint64_t n) {
    constexpr uint64_t kChunk = 64 * 1024;
    while (n > 0) {
      const size_t want = static_cast<size_t>(std::min(n, kChunk));
      const size_t old = dst.size();
      dst.resize(old + want);
      const size_t got = readRaw(dst.data() + old, want);
      if (got != want) {
        dst.resize(old + got);
        truncated_ = true;
        return false;
      }
      n -= want;
    }
    return true;
  }

  // Appends n bytes to dst; on a short read dst keeps what arrived.
  bool appendTo(std::string& dst, size_t n) {
    const size_t old = dst.size();
    dst.resize(old + n);
    const size_t got = readRaw(dst.data() + old, n);
    if (got != n) {
      dst.resize(old + got);
      truncated_ = true;
      return false;
    }
    return true;
  }

  bool truncated() const { return truncated_; }
  // Bytes read so far.
  uint64_t consumed() const { return consumed_; }

 private:
  size_t readRaw(void* dst, size_t n) {
    if (n == 0) return 0;
    if (!in_.good()) return 0;
    in_.read(static_cast<char*>(dst), static_cast<std::streamsize>(n));
    const size_t got = static_cast<size_t>(in_.gcount());
    consumed_ += got;
    return got;
  }

  std::istream& in_;
  bool truncated_ = false;
  uint64_t consumed_ = 0;
};

constexpr unsigned kWidthBytes[4] = {0, 1, 2, 4};

// A field of 1 or 2 bytes is zero-extended; a 4-byte field is a signed 32-bit number.
int64_t widenField(uint32_t raw, unsigned code) {
  if (code == 3) return static_cast<int32_t>(raw);
  return raw;
}

struct PendingChildren {
  TreeNode* parent;
  int64_t remaining;
};

}  // namespace

TreeFile::TreeFile() : root_(std::make_unique<TreeNode>()) {}

bool TreeFile::read(std::istream& in, const TreeReadLimits& limits) {
  root_ = std::make_unique<TreeNode>();
  limitReached_.clear();
  problem_ = ReadProblem::None;
  problemOffset_ = 0;
  ByteSource src(in);
  bool magicSeen = false;
  if (readRecords(src, limits, magicSeen)) return true;
  // Which kind of failure, for the message: a file that is not a production at all and
  // one that stops early are different news for the user.
  if (!limitReached_.empty()) problem_ = ReadProblem::Limit;
  else if (src.consumed() == 0) problem_ = ReadProblem::Empty;
  else if (!magicSeen) problem_ = ReadProblem::NotAProduction;
  else if (src.truncated()) problem_ = ReadProblem::CutShort;
  else problem_ = ReadProblem::Damaged;
  problemOffset_ = src.consumed();
  return false;
}

template <class Source>
bool TreeFile::readRecords(Source& src, const TreeReadLimits& limits, bool& magicSeen) {
  uint32_t magic = 0;
  src.readUint(4, magic);
  if (magic != kMagic) return false;
  magicSeen = true;

  // Every file written has both counts, so a file that ends after the magic or the name
  // count is cut short; its tree stays empty.
  uint32_t rawCount = 0;
  if (!src.readUint(4, rawCount)) return false;
  const int32_t nameCount = static_cast<int32_t>(rawCount);

  // The name table grows name by name: a huge count on a short stream ends at the
  // first name that is not there instead of reserving room up front. The names share
  // one block, so a table of many empty names costs a few bytes each, not a string each.
  std::string pool;
  std::vector<std::pair<size_t, size_t>> spans;  // offset and length in pool
  for (int32_t i = 0; i < nameCount; ++i) {
    uint32_t len = 0;
    if (!src.readUint(2, len)) return false;
    const size_t offset = pool.size();
    if (!src.appendTo(pool, len)) return false;
    spans.emplace_back(offset, len);
  }
  std::vector<std::string_view> names;
  names.reserve(spans.size());
  for (const auto& [offset, length] : spans) names.emplace_back(pool.data() + offset, length);
  spans = {};

  uint32_t rawRoot = 0;
  if (!src.readUint(4, rawRoot)) return false;

  uint64_t nodes = 0;
  uint64_t valueBytes = 0;
  // Records are read with an explicit stack so deep nesting cannot exhaust the
  // program's own stack; maxDepth bounds the stack's size.
  std::vector<PendingChildren> stack;
  stack.push_back({root_.get(), static_cast<int32_t>(rawRoot)});

  while (!stack.empty()) {
    PendingChildren& top = stack.back();
    if (top.remaining <= 0) {
      stack.pop_back();
      continue;
    }
    --top.remaining;
    TreeNode* parent = top.parent;

    uint32_t header = 0;
    src.readUint(2, header);
    const uint32_t type = header & 0xF;
    const unsigned nameCode = (header >> 4) & 3;
    const unsigned siblingCode = (header >> 6) & 3;
    const unsigned sizeCode = (header >> 8) & 3;
    const unsigned countCode = (header >> 10) & 3;
    if ((header >> 12) != 0xB || type > 5 || nameCode == 0) return false;

    uint32_t raw[4] = {0, 0, 0, 0};
    const unsigned codes[4] = {nameCode, siblingCode, sizeCode, countCode};
    for (int f = 0; f < 4; ++f) {
      if (codes[f] != 0 && !src.readUint(kWidthBytes[codes[f]], raw[f])) return false;
    }
    const int64_t nameIndex = widenField(raw[0], nameCode);
    const uint32_t siblingIndex = raw[1];
    const int64_t valueSize = sizeCode != 0 ? widenField(raw[2], sizeCode) : (type != 0 ? 4 : 0);
    const int64_t childCount = countCode != 0 ? widenField(raw[3], countCode) : 0;

    if (nameIndex < 0 || nameIndex >= static_cast<int64_t>(names.size())) return false;
    // A negative size would otherwise be used to allocate and read.
    if (valueSize < 0) return false;
    if (valueBytes + static_cast<uint64_t>(valueSize) > limits.maxTotalValueBytes) {
      limitReached_ = "more than " + std::to_string(limits.maxTotalValueBytes) + " value bytes";
      return false;
    }
    if (nodes + 1 > limits.maxNodes) {
      limitReached_ = "more than " + std::to_string(limits.maxNodes) + " nodes";
      return false;
    }
    ++nodes;
    valueBytes += static_cast<uint64_t>(valueSize);

    // A repeated (name, index) pair reuses the node: its value is replaced and the
    // new children join the existing ones.
    TreeNode& node = parent->getOrCreateChild(names[static_cast<size_t>(nameIndex)], siblingIndex);
    node.type = static_cast<NodeType>(type);
    node.value.clear();
    node.value.shrink_to_fit();
    if (!src.readInto(node.value, static_cast<uint64_t>(valueSize))) return false;

    if (childCount > 0) {
      if (stack.size() >= limits.maxDepth) {
        limitReached_ = "nodes nested deeper than " + std::to_string(limits.maxDepth);
        return false;
      }
      stack.push_back({&node, childCount});
    }
  }
  return !src.truncated();
}

bool TreeFile::readFile(const std::string& path, std::string* error, bool* opened) {
  root_ = std::make_unique<TreeNode>();
  problem_ = ReadProblem::None;
  std::error_code ec;
  // A folder opens like a file and reads as nothing; say what it is.
  const bool folder = std::filesystem::is_directory(path, ec);
  std::ifstream in;
  if (!folder) in.open(path, std::ios::binary);
  if (opened) *opened = !folder && static_cast<bool>(in);
  if (folder || !in) {
    problem_ = folder ? ReadProblem::Folder : ReadProblem::CannotOpen;
    if (error) *error = folder ? path + " is a folder, not a production file" : "Cannot open " + path;
    return false;
  }
  if (read(in)) return true;
  if (error) {
    switch (problem_) {
      case ReadProblem::Empty: *error = path + " is empty"; break;
      case ReadProblem::NotAProduction:
        *error = path + " is not a production file (it does not start with the production file's magic number)";
        break;
      case ReadProblem::CutShort: *error = path + " is cut short; using the part that could be read"; break;
      case ReadProblem::Limit:
        *error = path + " holds " + limitReached_ + ", beyond what the reader accepts; using the part before it";
        break;
      default:
        *error = path + " is damaged at byte " + std::to_string(problemOffset_) + "; using the part before it";
        break;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------
// Writing

namespace {

void putUint(std::string& out, uint32_t v, unsigned n) {
  for (unsigned i = 0; i < n; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// The smallest width code that holds v; 4-byte fields are signed, so values of 2^31
// and more do not fit at all.
unsigned widthCodeFor(uint64_t v) {
  if (v <= 0xFF) return 1;
  if (v <= 0xFFFF) return 2;
  return 3;
}

struct WriteFrame {
  const TreeNode* node;
  std::map<TreeNode::Key, std::unique_ptr<TreeNode>, TreeNode::KeyLess>::const_iterator next;
};

}  // namespace

bool TreeFile::write(std::ostream& out) const {
  constexpr uint64_t kMaxSigned = 0x7FFFFFFF;

  // Name table: every distinct name, spelled as stored, in first-use order.
  std::vector<const std::string*> table;
  std::map<std::string, uint32_t> indexOf;
  std::vector<const TreeNode*> walk{root_.get()};
  while (!walk.empty()) {
    const TreeNode* n = walk.back();
    walk.pop_back();
    for (const auto& [key, childNode] : n->children) {
      auto [it, inserted] = indexOf.emplace(childNode->name, static_cast<uint32_t>(table.size()));
      if (inserted) table.push_back(&it->first);
      walk.push_back(childNode.get());
    }
  }
  if (table.size() > kMaxSigned || root_->children.size() > kMaxSigned) return false;

  std::string buf;
  putUint(buf, kMagic, 4);
  putUint(buf, static_cast<uint32_t>(table.size()), 4);
  for (const std::string* s : table) {
    if (s->size() > 0xFFFF) return false;
    putUint(buf, static_cast<uint32_t>(s->size()), 2);
    buf.append(*s);
  }
  putUint(buf, static_cast<uint32_t>(root_->children.size()), 4);

  std::vector<WriteFrame> stack{{root_.get(), root_->children.begin()}};
  while (!stack.empty()) {
    WriteFrame& f = stack.back();
    if (f.next == f.node->children.end()) {
      stack.pop_back();
      continue;
    }
    const TreeNode& n = *f.next->second;
    ++f.next;

    const uint32_t type = static_cast<uint32_t>(n.type);
    if (type > 5 || n.value.size() > kMaxSigned || n.children.size() > kMaxSigned) return false;
    const uint32_t nameIndex = indexOf.at(n.name);
    const uint64_t size = n.value.size();
    const uint64_t impliedSize = type != 0 ? 4 : 0;
    const unsigned nameCode = widthCodeFor(nameIndex);
    const unsigned siblingCode = n.siblingIndex == 0 ? 0 : widthCodeFor(n.siblingIndex);
    const unsigned sizeCode = size == impliedSize ? 0 : widthCodeFor(size);
    const unsigned countCode = n.children.empty() ? 0 : widthCodeFor(n.children.size());

    const uint32_t header = (0xBu << 12) | (countCode << 10) | (sizeCode << 8) | (siblingCode << 6) | (nameCode << 4) | type;
    putUint(buf, header, 2);
    putUint(buf, nameIndex, kWidthBytes[nameCode]);
    putUint(buf, n.siblingIndex, kWidthBytes[siblingCode]);
    putUint(buf, static_cast<uint32_t>(size), kWidthBytes[sizeCode]);
    putUint(buf, static_cast<uint32_t>(n.children.size()), kWidthBytes[countCode]);
    buf.append(reinterpret_cast<const char*>(n.value.data()), n.value.size());
    if (!n.children.empty()) stack.push_back({&n, n.children.begin()});
  }

  out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
  return static_cast<bool>(out);
}

bool TreeFile::writeFile(const std::string& path, std::string* error) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    if (error) *error = "Cannot create " + path;
    return false;
  }
  const bool written = write(out);
  out.close();
  if (!written || !out) {
    if (error) *error = "Failed to write " + path;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------
// Handles and typed accessors

TreeNodeRef child(TreeNodeRef ref, const char* name, uint32_t index) {
  if (name == nullptr) return ref;
  if (ref.node == nullptr) return {nullptr, ref.writing};
  if (ref.writing) return {&ref.node->getOrCreateChild(name, index), true};
  return {ref.node->findChild(name, index), false};
}

uint32_t countChildren(TreeNodeRef ref, const char* name) {
  if (ref.node == nullptr || name == nullptr) return 0;
  uint32_t n = 0;
  while (n != std::numeric_limits<uint32_t>::max() && ref.node->findChild(name, n) != nullptr) ++n;
  return n;
}

namespace {

// The first four value bytes as a little-endian word; shorter values are zero-extended,
// as the node's inline storage would be.
uint32_t valueWord(const TreeNode& node) {
  uint32_t w = 0;
  const size_t n = std::min<size_t>(node.value.size(), 4);
  for (size_t i = 0; i < n; ++i) w |= static_cast<uint32_t>(node.value[i]) << (8 * i);
  return w;
}

void setValueWord(TreeNode& node, NodeType type, uint32_t w) {
  node.type = type;
  node.value.assign({static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w >> 16),
                     static_cast<uint8_t>(w >> 24)});
}

std::string_view valueText(const TreeNode& node) {
  return {reinterpret_cast<const char*>(node.value.data()), node.value.size()};
}

// The 32-bit integer an int accessor sees, or false when the child gives none.
bool readIntChild(TreeNodeRef ref, const char* name, uint32_t& out) {
  out = 0;
  const TreeNodeRef c = child(ref, name, 0);
  if (c.node == nullptr) return false;
  if (c.node->type == NodeType::Int) {
    out = valueWord(*c.node);
    return true;
  }
  if (c.node->type == NodeType::String) {
    int32_t v = 0;
    if (!parseIntText(valueText(*c.node), v)) return false;
    out = static_cast<uint32_t>(v);
    return true;
  }
  return false;
}

TreeNode* writableChild(TreeNodeRef ref, const char* name) {
  if (!ref.writing) return nullptr;
  return child(ref, name, 0).node;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

namespace {

// One routine for the integer widths. Writing widens the source to 32 bits (a signed one
// sign-extended, an unsigned one zero-extended); reading keeps the low bytes.
template <class T>
void serializeIntOf(TreeNodeRef ref, const char* name, T& value) {
  if (TreeNode* n = writableChild(ref, name)) {
    setValueWord(*n, NodeType::Int, static_cast<uint32_t>(value));
    return;
  }
  if (ref.writing) return;
  uint32_t w = 0;
  readIntChild(ref, name, w);
  value = static_cast<T>(w);
}

}  // namespace

void serializeInt(TreeNodeRef ref, const char* name, int32_t& value) { serializeIntOf(ref, name, value); }
void serializeInt(TreeNodeRef ref, const char* name, uint32_t& value) { serializeIntOf(ref, name, value); }
void serializeInt(TreeNodeRef ref, const char* name, uint8_t& value) { serializeIntOf(ref, name, value); }

void serializeFloat(TreeNodeRef ref, const char* name, float& value) {
  if (TreeNode* n = writableChild(ref, name)) {
    setValueWord(*n, NodeType::Float, std::bit_cast<uint32_t>(value));
    return;
  }
  if (ref.writing) return;
  value = 0.0f;
  const TreeNodeRef c = child(ref, name, 0);
  if (c.node == nullptr) return;
  if (c.node->type == NodeType::Float) {
    value = std::bit_cast<float>(valueWord(*c.node));
  } else if (c.node->type == NodeType::String) {
    value = parseFloatText(valueText(*c.node));
  }
}

void serializeString(TreeNodeRef ref, const char* name, std::string& value) {
  if (TreeNode* n = writableChild(ref, name)) {
    n->type = NodeType::String;
    n->value.assign(value.begin(), value.end());
    return;
  }
  if (ref.writing) return;
  value.clear();
  const TreeNodeRef c = child(ref, name, 0);
  if (c.node != nullptr) value = toText(*c.node);
}

void serializeVec2(TreeNodeRef ref, const char* name, float (&value)[2]) {
  const std::string base = name != nullptr ? name : "";
  serializeFloat(ref, (base + "_x").c_str(), value[0]);
  serializeFloat(ref, (base + "_y").c_str(), value[1]);
}

// ---------------------------------------------------------------------------------
// Text conversions

std::string toText(const TreeNode& node) {
  char buf[64];
  switch (node.type) {
    case NodeType::String:
      return std::string(valueText(node));
    case NodeType::Int:
      std::snprintf(buf, sizeof buf, "%d", static_cast<int32_t>(valueWord(node)));
      return buf;
    case NodeType::Other5: {
      const int64_t wide = static_cast<int32_t>(valueWord(node));
      std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(wide));
      return buf;
    }
    case NodeType::Float: {
      const uint32_t bits = valueWord(node);
      const float f = std::bit_cast<float>(bits);
      const bool negative = (bits >> 31) != 0;
      if (std::isinf(f)) return negative ? "-1.#Inf" : "1.#Inf";
      if (std::isnan(f)) return negative ? "-1.#QNAN" : "1.#QNAN";
      const int exponent = static_cast<int>((bits >> 23) & 0xFF) - 127;
      std::snprintf(buf, sizeof buf, (exponent >= 0 && exponent <= 20) ? "%.8f" : "%.8e", static_cast<double>(f));
      return buf;
    }
    case NodeType::None:
    case NodeType::Other4:
      break;
  }
  return {};
}

bool parseIntText(std::string_view text, int32_t& out) {
  out = 0;
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  uint32_t v = 0;  // wraps in 32 bits, as the stored integers do
  size_t digits = 0;
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      isHexDigit(text[i + 2])) {
    i += 2;
    while (i < text.size() && isHexDigit(text[i])) {
      const char c = text[i++];
      const uint32_t d = (c <= '9') ? c - '0' : (foldAscii(static_cast<unsigned char>(c)) - 'a' + 10);
      v = v * 16 + d;
      ++digits;
    }
  } else {
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      v = v * 10 + static_cast<uint32_t>(text[i++] - '0');
      ++digits;
    }
  }
  if (digits == 0) return false;
  while (i < text.size() && isBlank(text[i])) ++i;
  if (i != text.size()) return false;
  if (negative) v = 0u - v;
  out = static_cast<int32_t>(v);
  return true;
}

float parseFloatText(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t start = i;
  auto isDigit = [&](size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
  while (isDigit(i)) ++i;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (isDigit(i)) ++i;
  }
  size_t end = i;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t k = i + 1;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) ++k;
    if (isDigit(k)) {
      while (isDigit(k)) ++k;
      end = k;
    }
  }
  // The text form of infinities and NaNs written by toText ("1.#Inf", "-1.#QNAN").
  if (end < text.size() && text[end] == '#' && end > start) {
    const std::string_view rest = text.substr(end + 1);
    if (rest.size() >= 3 && compareNames(rest.substr(0, 3), "inf") == 0) {
      return negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    }
    if (rest.size() >= 4 && compareNames(rest.substr(0, 4), "qnan") == 0) {
      const float nan = std::numeric_limits<float>::quiet_NaN();
      return negative ? -nan : nan;
    }
  }
  // Converted in the C locale whatever the process locale is: the file's decimal
  // point is always '.'.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  const std::string number(text.substr(start, end - start));
  const float v = strtof_l(number.c_str(), nullptr, cLocale);
  return negative ? -v : v;
}
