#include "gfx/hlsl/ModuleChecks.h"

#include <map>
#include <mutex>
#include <unordered_map>

#include "gfx/hlsl/HlslCompiler.h"

namespace hlsl {

namespace {

// More modules than any production loads; past it everything is forgotten at once.
constexpr size_t kMaxModules = 4096;

uint64_t hashOf(const std::vector<uint32_t>& words) {
  uint64_t h = 1469598103934665603ull;
  for (uint32_t w : words) h = (h ^ w) * 1099511628211ull;
  return h ^ words.size();
}

struct Entry {
  std::vector<uint32_t> words;
  bool valid = false;
  bool reflected = false;
  Reflection reflection;
};

struct Memory {
  std::mutex mutex;
  std::unordered_multimap<uint64_t, Entry> entries;

  Entry* find(const std::vector<uint32_t>& words) {
    auto [first, last] = entries.equal_range(hashOf(words));
    for (auto it = first; it != last; ++it)
      if (it->second.words == words) return &it->second;
    return nullptr;
  }
  Entry& findOrAdd(const std::vector<uint32_t>& words) {
    if (Entry* e = find(words)) return *e;
    if (entries.size() >= kMaxModules) entries.clear();
    Entry e;
    e.words = words;
    return entries.emplace(hashOf(words), std::move(e))->second;
  }
};

Memory& memory() {
  static Memory m;
  return m;
}

}  // namespace

bool knownValid(const std::vector<uint32_t>& words) {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  const Entry* e = m.find(words);
  return e && e->valid;
}

void rememberValid(const std::vector<uint32_t>& words) {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.findOrAdd(words).valid = true;
}

bool knownReflection(const std::vector<uint32_t>& words, Reflection& out) {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  const Entry* e = m.find(words);
  if (!e || !e->reflected) return false;
  out = e->reflection;
  return true;
}

void rememberReflection(const std::vector<uint32_t>& words, const Reflection& reflection) {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  Entry& e = m.findOrAdd(words);
  e.reflected = true;
  e.reflection = reflection;
}

void forgetCheckedModules() {
  Memory& m = memory();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.entries.clear();
}

}  // namespace hlsl
