#include "gfx/ConstantWriter.h"

#include <cstdio>

#include "gfx/FatalError.h"
#include "gfx/ShaderProgram.h"

ConstantWriter::ConstantWriter(ShaderProgram* program, const char* shader, ProgramTrace* trace, uint32_t buffer,
                               MapFailure onFailure)
    : program_(program), trace_(trace), buffer_(buffer) {
  ConstantBuffer* cb = program ? program->constantBuffer(buffer) : nullptr;
  if (!cb) return;
  if (cb->mapped) {
    cb_ = cb;
    return;
  }
  if (cb->map()) {
    cb_ = cb;
    unmap_ = true;
    return;
  }
  if (onFailure == MapFailure::Fatal) {
    char text[256];
    std::snprintf(text, sizeof(text), "Failed to map constant buffer b%u (shader %s)", buffer,
                  shader && *shader ? shader : "(unnamed)");
    fatalError(text);
  }
}

ConstantWriter::~ConstantWriter() {
  if (cb_ && unmap_) cb_->unmap();
}

ConstantWriter& ConstantWriter::write(const char* name, const void* data, uint32_t bytes) {
  if (cb_) cb_->set(name, data, bytes);
  if (trace_ && program_) trace_->constants.push_back({program_, buffer_, name, bytes});
  return *this;
}

ConstantWriter& ConstantWriter::matrix(const char* name, const float (&m)[16]) {
  float t[16];
  for (int row = 0; row < 4; ++row)
    for (int col = 0; col < 4; ++col) t[col * 4 + row] = m[row * 4 + col];
  return write(name, t, sizeof t);
}

ConstantWriter& ConstantWriter::region(const RegionConstants& rc, const char* scaleName, const char* offsetName) {
  write(scaleName, rc.scale, sizeof rc.scale);
  return write(offsetName, rc.offset, sizeof rc.offset);
}
