#pragma once
// The binary tree file that holds a production: a name table followed by a tree of
// named, indexed nodes with small typed values. Every persistent object reads (and,
// for the production tool, writes) itself through TreeNodeRef handles and the typed
// accessors below; one serialize routine serves both directions.
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class NodeType : uint32_t { None = 0, Int = 1, Float = 2, String = 3, Other4 = 4, Other5 = 5 };

struct TreeNode {
  // Children are keyed by (name, sibling index); names compare ASCII case-insensitively.
  struct Key {
    std::string name;
    uint32_t index = 0;
  };
  // A key that borrows its name, for lookups that should not copy the name.
  struct KeyRef {
    std::string_view name;
    uint32_t index = 0;
  };
  struct KeyLess {
    using is_transparent = void;
    bool operator()(const Key& a, const Key& b) const;
    bool operator()(const Key& a, const KeyRef& b) const;
    bool operator()(const KeyRef& a, const Key& b) const;
  };

  std::string name;
  uint32_t siblingIndex = 0;
  NodeType type = NodeType::None;
  std::vector<uint8_t> value;  // the value bytes; size() is the node's value size
  std::map<Key, std::unique_ptr<TreeNode>, KeyLess> children;

  TreeNode* findChild(std::string_view name, uint32_t index) const;
  TreeNode& getOrCreateChild(std::string_view name, uint32_t index);
};

// Reading limits that keep a hostile file from exhausting memory or the stack.
struct TreeReadLimits {
  uint32_t maxDepth = 256;
  uint64_t maxTotalValueBytes = 256ull << 20;
  uint64_t maxNodes = 4ull << 20;  // about 160,000 operators
};

// Why the last read of a TreeFile stopped early.
enum class ReadProblem {
  None,
  CannotOpen,      // readFile: no such file, or no permission
  Folder,          // readFile: the path is a folder
  Empty,           // not a single byte
  NotAProduction,  // the magic number is not there
  CutShort,        // the file ends inside the tree
  Damaged,         // a record that cannot be read
  Limit,           // a read limit was reached
};

class TreeFile {
 public:
  static constexpr uint32_t kMagic = 0xA0A2A1A3;

  TreeFile();
  // Replaces the tree by what the stream holds. On failure the tree keeps every node
  // read before the failure, so the caller may still use it.
  bool read(std::istream& in, const TreeReadLimits& limits = {});
  // Reads the file at `path`. False when it cannot be opened (the tree is then empty) or
  // is damaged (the tree keeps the part that could be read); `error` says what is wrong
  // (a folder, an empty file, not a production file, cut short, damaged where) and names
  // the file, and `opened` tells the two cases apart.
  bool readFile(const std::string& path, std::string* error = nullptr, bool* opened = nullptr);
  // Why the last read or readFile stopped (None when it read the whole file).
  ReadProblem problem() const { return problem_; }
  // Writes the tree in the format read() accepts.
  bool write(std::ostream& out) const;
  // Writes the tree to `path`; false, with `error` naming the file, when that fails.
  bool writeFile(const std::string& path, std::string* error = nullptr) const;

  TreeNode& root() { return *root_; }
  const TreeNode& root() const { return *root_; }

 private:
  template <class Source>
  bool readRecords(Source& src, const TreeReadLimits& limits, bool& magicSeen);

  std::unique_ptr<TreeNode> root_;
  std::string limitReached_;  // which read limit stopped the last read, if any
  ReadProblem problem_ = ReadProblem::None;
  uint64_t problemOffset_ = 0;  // bytes read when it stopped
};

// A handle on a node (null: a missing child) and the direction of serialization.
struct TreeNodeRef {
  TreeNode* node = nullptr;
  bool writing = false;
};

// The child (name, index); in writing mode a missing child is created. A null name
// returns the handle itself.
TreeNodeRef child(TreeNodeRef ref, const char* name, uint32_t index = 0);
// How many consecutive indices 0, 1, 2... of name exist.
uint32_t countChildren(TreeNodeRef ref, const char* name);

// Typed accessors. Reading zeroes the destination first, so a missing child reads
// as 0, 0.0 or "".
void serializeInt(TreeNodeRef ref, const char* name, int32_t& value);
void serializeInt(TreeNodeRef ref, const char* name, uint32_t& value);
void serializeInt(TreeNodeRef ref, const char* name, uint8_t& value);
void serializeFloat(TreeNodeRef ref, const char* name, float& value);
void serializeString(TreeNodeRef ref, const char* name, std::string& value);
void serializeVec2(TreeNodeRef ref, const char* name, float (&value)[2]);

// The node's value as text (strings as they are, numbers printed); "" for no value.
std::string toText(const TreeNode& node);
// Text parsing used when a number is stored as a string.
bool parseIntText(std::string_view text, int32_t& out);   // false when junk follows
float parseFloatText(std::string_view text);
