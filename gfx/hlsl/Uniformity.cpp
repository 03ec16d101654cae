#include "gfx/hlsl/Uniformity.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace hlsl {

namespace {

// Opcodes (SPIR-V registry numbers).
enum : uint32_t {
  kOpName = 5,
  kOpExtInst = 12,
  kOpEntryPoint = 15,
  kOpFunction = 54,
  kOpFunctionParameter = 55,
  kOpFunctionEnd = 56,
  kOpFunctionCall = 57,
  kOpVariable = 59,
  kOpLoad = 61,
  kOpStore = 62,
  kOpAccessChain = 65,
  kOpInBoundsAccessChain = 66,
  kOpPtrAccessChain = 67,
  kOpVectorShuffle = 79,
  kOpCompositeExtract = 81,
  kOpCompositeInsert = 82,
  kOpCopyObject = 83,
  kOpDPdx = 207,
  kOpFwidthCoarse = 215,
  kOpAtomicLoad = 227,
  kOpAtomicStore = 228,
  kOpAtomicXor = 242,
  kOpPhi = 245,
  kOpLoopMerge = 246,
  kOpSelectionMerge = 247,
  kOpLabel = 248,
  kOpBranch = 249,
  kOpBranchConditional = 250,
  kOpSwitch = 251,
  kOpReturn = 253,
  kOpReturnValue = 254,
};
constexpr uint32_t kFragment = 4;
constexpr uint32_t kStorageInput = 1;
constexpr uint32_t kStorageOutput = 3;
constexpr uint32_t kStorageWorkgroup = 4;
constexpr uint32_t kStoragePrivate = 6;
constexpr uint32_t kStorageFunction = 7;

struct Inst {
  uint32_t op = 0;
  size_t pos = 0;  // first word in the module
  uint32_t count = 0;
};

struct Block {
  uint32_t label = 0;
  std::vector<Inst> insts;  // the terminator last
  std::vector<uint32_t> succ;  // block indices
  uint32_t merge = 0;          // label of the selection or loop merge, 0 when none
  uint32_t continueTarget = 0; // label, loops only
  bool loopHeader = false;
};

struct Function {
  uint32_t id = 0;
  std::vector<uint32_t> params;
  std::vector<Block> blocks;
  std::map<uint32_t, size_t> index;    // label -> block
  std::vector<std::vector<bool>> dom;  // dom[b][a]: a dominates b
  std::vector<bool> divergent;
  bool wholeDivergent = false;  // called from divergent code
  bool returnsVarying = false;
};

struct Analysis {
  const std::vector<uint32_t>& w;
  std::vector<Function> functions;
  std::map<uint32_t, size_t> functionIndex;
  std::map<uint32_t, std::string> names;
  std::vector<uint32_t> entries;
  std::map<uint32_t, uint32_t> storage;  // variable (or pointer parameter) -> storage class
  std::map<uint32_t, uint32_t> root;     // pointer -> the variable it points into
  std::set<uint32_t> varying;            // values, and variables whose contents are per-pixel
  std::set<uint32_t> ids;                // every result id (to tell ids from literals)
  bool changed = false;

  explicit Analysis(const std::vector<uint32_t>& words) : w(words) {}

  uint32_t word(const Inst& in, uint32_t i) const { return i < in.count ? w[in.pos + i] : 0; }
  bool isVarying(uint32_t id) const { return varying.count(id) != 0; }
  void taint(uint32_t id) {
    if (id && varying.insert(id).second) changed = true;
  }
  uint32_t rootOf(uint32_t pointer) const {
    auto it = root.find(pointer);
    return it == root.end() ? 0 : it->second;
  }

  bool parse();
  void dominators(Function& f);
  void propagate(Function& f);
  void diverge(Function& f);
  std::vector<size_t> reach(const Function& f, size_t from, const std::set<size_t>& stops) const;
  std::vector<size_t> construct(const Function& f, size_t header) const;
};

bool hasResultType(uint32_t op) {
  switch (op) {
    case kOpStore: case kOpBranch: case kOpBranchConditional: case kOpSwitch: case kOpReturn:
    case kOpReturnValue: case kOpSelectionMerge: case kOpLoopMerge: case kOpLabel: case kOpAtomicStore:
    case 8: case 317: case 63: case 99: case 224: case 225: case 252: case 255: case 4416: case 5380:
      return false;
    default:
      return true;
  }
}

bool Analysis::parse() {
  if (w.size() < 5 || w[0] != 0x07230203) return false;
  Function* fn = nullptr;
  Block* block = nullptr;
  for (size_t i = 5; i < w.size();) {
    const uint32_t op = w[i] & 0xFFFF, count = w[i] >> 16;
    if (count == 0 || i + count > w.size()) return false;
    Inst in{op, i, count};
    if (op == kOpName && count >= 3) {
      const char* text = reinterpret_cast<const char*>(&w[i + 2]);
      names[w[i + 1]] = std::string(text, strnlen(text, (count - 2) * 4));
    } else if (op == kOpEntryPoint && count >= 3 && w[i + 1] == kFragment) {
      entries.push_back(w[i + 2]);
    } else if (op == kOpFunction && count >= 3) {
      functionIndex[w[i + 2]] = functions.size();
      functions.emplace_back();
      fn = &functions.back();
      fn->id = w[i + 2];
      block = nullptr;
    } else if (op == kOpFunctionEnd) {
      fn = nullptr;
      block = nullptr;
    } else if (op == kOpFunctionParameter && fn && count >= 3) {
      fn->params.push_back(w[i + 2]);
      storage[w[i + 2]] = kStorageFunction;  // pointers to the caller's variables
      root[w[i + 2]] = w[i + 2];
    } else if (op == kOpLabel && fn && count >= 2) {
      fn->index[w[i + 1]] = fn->blocks.size();
      fn->blocks.emplace_back();
      block = &fn->blocks.back();
      block->label = w[i + 1];
    } else if (op == kOpVariable && count >= 4) {
      storage[w[i + 2]] = w[i + 3];
      root[w[i + 2]] = w[i + 2];
    }
    if (hasResultType(op) && count >= 3) ids.insert(w[i + 2]);
    if (block && op != kOpLabel) {
      block->insts.push_back(in);
      if (op == kOpSelectionMerge && count >= 2) block->merge = w[i + 1];
      if (op == kOpLoopMerge && count >= 3) {
        block->merge = w[i + 1];
        block->continueTarget = w[i + 2];
        block->loopHeader = true;
      }
    }
    i += count;
  }
  for (Function& f : functions) {
    for (Block& b : f.blocks) {
      if (b.insts.empty()) return false;
      const Inst& t = b.insts.back();
      std::vector<uint32_t> targets;
      if (t.op == kOpBranch) targets = {word(t, 1)};
      if (t.op == kOpBranchConditional) targets = {word(t, 2), word(t, 3)};
      if (t.op == kOpSwitch) {
        targets.push_back(word(t, 2));
        for (uint32_t k = 4; k < t.count; k += 2) targets.push_back(word(t, k));
      }
      for (uint32_t target : targets) {
        auto it = f.index.find(target);
        if (it == f.index.end()) return false;
        b.succ.push_back(it->second);
      }
    }
    f.divergent.assign(f.blocks.size(), false);
    dominators(f);
  }
  return true;
}

// Iterative dominator sets (functions are small: a few hundred blocks at most).
void Analysis::dominators(Function& f) {
  const size_t n = f.blocks.size();
  std::vector<std::vector<size_t>> preds(n);
  for (size_t b = 0; b < n; ++b)
    for (size_t s : f.blocks[b].succ) preds[s].push_back(b);
  f.dom.assign(n, std::vector<bool>(n, true));
  if (n == 0) return;
  f.dom[0].assign(n, false);
  f.dom[0][0] = true;
  for (bool again = true; again;) {
    again = false;
    for (size_t b = 1; b < n; ++b) {
      std::vector<bool> d(n, !preds[b].empty());
      for (size_t p : preds[b])
        for (size_t a = 0; a < n; ++a) d[a] = d[a] && f.dom[p][a];
      d[b] = true;
      if (d != f.dom[b]) {
        f.dom[b] = d;
        again = true;
      }
    }
  }
}

std::vector<size_t> Analysis::reach(const Function& f, size_t from, const std::set<size_t>& stops) const {
  std::vector<size_t> out;
  std::vector<bool> seen(f.blocks.size(), false);
  std::vector<size_t> work{from};
  while (!work.empty()) {
    size_t b = work.back();
    work.pop_back();
    if (seen[b] || stops.count(b)) continue;
    seen[b] = true;
    out.push_back(b);
    for (size_t s : f.blocks[b].succ) work.push_back(s);
  }
  return out;
}

// The blocks a structured header governs: dominated by it, not by its merge.
std::vector<size_t> Analysis::construct(const Function& f, size_t header) const {
  std::vector<size_t> out;
  auto m = f.index.find(f.blocks[header].merge);
  for (size_t b = 0; b < f.blocks.size(); ++b)
    if (f.dom[b][header] && (m == f.index.end() || !f.dom[b][m->second])) out.push_back(b);
  return out;
}

void Analysis::propagate(Function& f) {
  for (size_t bi = 0; bi < f.blocks.size(); ++bi) {
    const bool divergent = f.wholeDivergent || f.divergent[bi];
    for (const Inst& in : f.blocks[bi].insts) {
      switch (in.op) {
        case kOpLoad: {
          const uint32_t var = rootOf(word(in, 3));
          auto sc = storage.find(var);
          const bool input = sc != storage.end() && sc->second == kStorageInput;
          if (input || isVarying(var) || isVarying(word(in, 3))) taint(word(in, 2));
          break;
        }
        case kOpStore: {
          const uint32_t var = rootOf(word(in, 1));
          if (var && (divergent || isVarying(word(in, 2)))) taint(var);
          break;
        }
        case kOpFunctionCall: {
          auto callee = functionIndex.find(word(in, 3));
          if (callee == functionIndex.end()) break;
          Function& g = functions[callee->second];
          if (divergent && !g.wholeDivergent) {
            g.wholeDivergent = true;
            changed = true;
          }
          for (uint32_t k = 4; k < in.count && k - 4 < g.params.size(); ++k) {
            const uint32_t arg = word(in, k), param = g.params[k - 4];
            const uint32_t argVar = rootOf(arg);
            if (isVarying(arg) || (argVar && isVarying(argVar))) taint(param);
            // Out and inout parameters write the caller's variable.
            if (argVar && isVarying(param)) {
              auto sc = storage.find(argVar);
              if (sc != storage.end() && sc->second != kStorageInput) taint(argVar);
            }
          }
          if (g.returnsVarying) taint(word(in, 2));
          break;
        }
        case kOpPhi: {
          bool any = false;
          for (uint32_t k = 3; k + 1 < in.count; k += 2) {
            auto parent = f.index.find(word(in, k + 1));
            any = any || isVarying(word(in, k)) ||
                  (parent != f.index.end() && f.divergent[parent->second]);
          }
          if (any) taint(word(in, 2));
          break;
        }
        case kOpReturnValue:
          if ((divergent || isVarying(word(in, 1))) && !f.returnsVarying) {
            f.returnsVarying = true;
            changed = true;
          }
          break;
        case kOpAccessChain:
        case kOpInBoundsAccessChain:
        case kOpPtrAccessChain:
        case kOpCopyObject:
          if (uint32_t r = rootOf(word(in, 3))) root[word(in, 2)] = r;
          [[fallthrough]];
        default: {
          if (!hasResultType(in.op) || in.count < 3 || in.op == kOpVariable) break;
          if (in.op >= kOpAtomicLoad && in.op <= kOpAtomicXor) {
            taint(word(in, 2));
            break;
          }
          // Which words are ids: extended instructions have a set and a literal number first;
          // extracts, inserts and shuffles end in literal indices.
          uint32_t first = 3, last = in.count;
          if (in.op == kOpExtInst) first = 5;
          if (in.op == kOpCompositeExtract) last = std::min(in.count, 4u);
          if (in.op == kOpCompositeInsert) last = std::min(in.count, 5u);
          if (in.op == kOpVectorShuffle) last = std::min(in.count, 5u);
          for (uint32_t k = first; k < last; ++k)
            if (isVarying(word(in, k)) && ids.count(word(in, k))) {
              taint(word(in, 2));
              break;
            }
          break;
        }
      }
    }
  }
}

void Analysis::diverge(Function& f) {
  auto mark = [&](const std::vector<size_t>& blocks) {
    for (size_t b : blocks)
      if (!f.divergent[b]) {
        f.divergent[b] = true;
        changed = true;
      }
  };
  auto blockOf = [&](uint32_t label) -> size_t {
    auto it = f.index.find(label);
    return it == f.index.end() ? SIZE_MAX : it->second;
  };
  for (size_t bi = 0; bi < f.blocks.size(); ++bi) {
    const Block& b = f.blocks[bi];
    const Inst& t = b.insts.back();
    if (t.op != kOpBranchConditional && t.op != kOpSwitch) continue;
    if (!isVarying(word(t, 1))) continue;
    std::set<size_t> targets(b.succ.begin(), b.succ.end());
    if (targets.size() < 2) continue;
    // The region whose execution the condition decides, and where pixels meet again.
    std::vector<size_t> region;
    size_t meet = SIZE_MAX;
    if (b.merge && !b.loopHeader) {
      region = construct(f, bi);
      region.erase(std::remove(region.begin(), region.end(), bi), region.end());  // runs for all
      meet = blockOf(b.merge);
    } else {
      // A loop's own exit test, or a conditional break or continue: the loop's iterations
      // differ between pixels, so all of the loop is divergent.
      size_t loop = b.loopHeader ? bi : SIZE_MAX;
      for (size_t h = 0; h < f.blocks.size() && loop == SIZE_MAX; ++h) {
        if (!f.blocks[h].loopHeader) continue;
        std::vector<size_t> c = construct(f, h);
        if (std::find(c.begin(), c.end(), bi) == c.end()) continue;
        // The innermost loop holding the block: the smallest construct.
        size_t best = h;
        for (size_t h2 = h + 1; h2 < f.blocks.size(); ++h2) {
          if (!f.blocks[h2].loopHeader) continue;
          std::vector<size_t> c2 = construct(f, h2);
          if (std::find(c2.begin(), c2.end(), bi) != c2.end() && c2.size() < c.size()) {
            best = h2;
            c = c2;
          }
        }
        loop = best;
      }
      if (loop == SIZE_MAX) {
        mark(reach(f, bi, {}));  // unstructured: everything after it
        continue;
      }
      region = construct(f, loop);
      meet = blockOf(f.blocks[loop].merge);
    }
    mark(region);
    if (meet == SIZE_MAX) continue;
    // Pixels that leave the region early (return, break, continue) are missing from
    // everything after the meeting point up to where they would rejoin.
    std::set<size_t> inRegion(region.begin(), region.end());
    for (size_t r : region) {
      const Inst& rt = f.blocks[r].insts.back();
      if (rt.op == kOpReturn || rt.op == kOpReturnValue) {
        mark(reach(f, meet, {}));
        continue;
      }
      for (size_t s : f.blocks[r].succ) {
        if (inRegion.count(s) || s == meet) continue;
        mark(reach(f, meet, {s}));  // a break or continue out of an enclosing construct
      }
    }
  }
}

}  // namespace

std::vector<DivergentDerivative> divergentDerivatives(const std::vector<uint32_t>& spirv) {
  Analysis a(spirv);
  std::vector<DivergentDerivative> found;
  if (!a.parse() || a.entries.empty()) return found;
  do {
    a.changed = false;
    for (Function& f : a.functions) {
      a.propagate(f);
      a.diverge(f);
    }
  } while (a.changed);
  // Functions the fragment entry points reach.
  std::set<size_t> reached;
  std::vector<size_t> work;
  for (uint32_t e : a.entries)
    if (a.functionIndex.count(e)) work.push_back(a.functionIndex[e]);
  while (!work.empty()) {
    size_t fi = work.back();
    work.pop_back();
    if (!reached.insert(fi).second) continue;
    for (const Block& b : a.functions[fi].blocks)
      for (const Inst& in : b.insts)
        if (in.op == kOpFunctionCall && a.functionIndex.count(a.word(in, 3)))
          work.push_back(a.functionIndex[a.word(in, 3)]);
  }
  for (size_t fi : reached) {
    const Function& f = a.functions[fi];
    for (size_t bi = 0; bi < f.blocks.size(); ++bi) {
      if (!f.wholeDivergent && !f.divergent[bi]) continue;
      for (const Inst& in : f.blocks[bi].insts)
        if (in.op >= kOpDPdx && in.op <= kOpFwidthCoarse) {
          auto name = a.names.find(f.id);
          found.push_back({in.op, a.word(in, 2), name == a.names.end() ? std::string() : name->second});
        }
    }
  }
  return found;
}

}  // namespace hlsl
