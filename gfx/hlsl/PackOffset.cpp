#include "gfx/hlsl/PackOffset.h"

#include <cctype>
#include <vector>

namespace hlsl {

namespace {

struct Token {
  std::string text;
  bool ident = false;
};

std::vector<Token> tokenize(const std::string& s) {
  std::vector<Token> out;
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '#' && (i == 0 || s[i - 1] == '\n')) {  // #line and other directives left by the preprocessor
      while (i < s.size() && s[i] != '\n') ++i;
      continue;
    }
    if (std::isspace(c)) {
      ++i;
      continue;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
      while (i < s.size() && s[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      size_t e = s.find("*/", i + 2);
      i = e == std::string::npos ? s.size() : e + 2;
      continue;
    }
    if (std::isalpha(c) || c == '_') {
      size_t b = i;
      while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_')) ++i;
      out.push_back({s.substr(b, i - b), true});
      continue;
    }
    if (std::isdigit(c)) {
      size_t b = i;
      while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '.')) ++i;
      out.push_back({s.substr(b, i - b), false});
      continue;
    }
    out.push_back({std::string(1, static_cast<char>(c)), false});
    ++i;
  }
  return out;
}

// "c3" + "y" -> 3 * 16 + 4.
bool parseRegister(const std::string& reg, const std::string& comp, uint32_t& offset) {
  if (reg.size() < 2 || (reg[0] != 'c' && reg[0] != 'C')) return false;
  uint32_t n = 0;
  for (size_t i = 1; i < reg.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(reg[i]))) return false;
    n = n * 10 + static_cast<uint32_t>(reg[i] - '0');
    if (n > 4096) return false;
  }
  uint32_t c = 0;
  if (!comp.empty()) {
    if (comp.size() != 1) return false;
    static const std::string xyzw = "xyzw", rgba = "rgba";
    size_t p = xyzw.find(comp[0]);
    if (p == std::string::npos) p = rgba.find(comp[0]);
    if (p == std::string::npos) return false;
    c = static_cast<uint32_t>(p);
  }
  offset = n * 16 + c * 4;
  return true;
}

}  // namespace

bool scanPackOffsets(const std::string& text, spvw::PackOffsets& out, std::string& error) {
  std::vector<Token> t = tokenize(text);
  for (size_t i = 0; i + 1 < t.size(); ++i) {
    if (!t[i].ident || (t[i].text != "cbuffer" && t[i].text != "tbuffer") || !t[i + 1].ident) continue;
    std::string block = t[i + 1].text;
    size_t j = i + 2;
    while (j < t.size() && t[j].text != "{" && t[j].text != ";") ++j;
    if (j >= t.size() || t[j].text != "{") continue;
    int depth = 1;
    size_t stmtBegin = ++j;
    for (; j < t.size() && depth > 0; ++j) {
      const std::string& tx = t[j].text;
      if (tx == "{") ++depth;
      if (tx == "}") {
        --depth;
        if (depth == 0) break;
      }
      if (depth == 1 && tx == ";") stmtBegin = j + 1;
      if (depth != 1 || tx != "packoffset") continue;
      // Member name: the identifier before the ':' that introduces packoffset, skipping
      // array brackets ("float4 v[2] : packoffset(c1)").
      size_t k = j;
      if (k == 0 || t[k - 1].text != ":") {
        error = "cbuffer " + block + ": packoffset without a preceding ':'";
        return false;
      }
      k -= 2;
      while (k > stmtBegin && t[k].text == "]") {
        while (k > stmtBegin && t[k].text != "[") --k;
        --k;
      }
      if (k < stmtBegin || !t[k].ident) {
        error = "cbuffer " + block + ": cannot find the member named by a packoffset";
        return false;
      }
      std::string member = t[k].text;
      // packoffset ( cN [. comp] )
      std::string reg, comp;
      size_t p = j + 1;
      bool ok = p < t.size() && t[p].text == "(";
      if (ok && p + 1 < t.size()) reg = t[p + 1].text;
      p += 2;
      if (ok && p + 1 < t.size() && t[p].text == ".") {
        comp = t[p + 1].text;
        p += 2;
      }
      ok = ok && p < t.size() && t[p].text == ")";
      uint32_t offset = 0;
      if (!ok || !parseRegister(reg, comp, offset)) {
        error = "cbuffer " + block + ": malformed packoffset on member '" + member + "'";
        return false;
      }
      out[block][member] = offset;
    }
    i = j;
  }
  return true;
}

}  // namespace hlsl
