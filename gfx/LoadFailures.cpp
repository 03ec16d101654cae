#include "gfx/LoadFailures.h"

#include <algorithm>

namespace {

std::vector<LoadFailure>& failures() {
  static std::vector<LoadFailure> list;
  return list;
}

bool& loadLines() {
  static bool on = true;
  return on;
}

}  // namespace

void noteLoadFailure(const char* kind, const std::string& file, const std::string& why) {
  std::string reason = why.substr(0, why.find('\n'));
  auto& list = failures();
  // A program loads its stages one by one and a missing texture is asked for every frame:
  // the summary names each file once per reason.
  const bool known = std::any_of(list.begin(), list.end(), [&](const LoadFailure& f) {
    return f.kind == kind && f.file == file && f.why == reason;
  });
  if (!known) list.push_back({kind, file, std::move(reason), {}});
}

size_t loadFailureCount() { return failures().size(); }

void attributeLoadFailures(size_t mark, const std::string& requester) {
  auto& list = failures();
  for (size_t i = mark; i < list.size(); ++i)
    if (list[i].requester.empty()) list[i].requester = requester;
}

std::vector<LoadFailure> takeLoadFailures() {
  std::vector<LoadFailure> out;
  out.swap(failures());
  return out;
}

std::string describeLoadFailures(const std::vector<LoadFailure>& list) {
  if (list.empty()) return "";
  std::string text = std::to_string(list.size()) + (list.size() == 1 ? " file" : " files") + " could not be used:\n";
  for (const LoadFailure& f : list) {
    text += "  " + f.kind + " " + f.file;
    if (!f.why.empty()) text += ": " + f.why;
    if (!f.requester.empty()) text += " (asked for by " + f.requester + ")";
    text += "\n";
  }
  return text;
}

void setProgramLoadLines(bool on) { loadLines() = on; }
bool programLoadLines() { return loadLines(); }
