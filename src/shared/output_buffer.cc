#include "shared/output_buffer.h"

namespace tallowick {

OutputBuffer::OutputBuffer(Sink sink, std::size_t chunkSize)
    : sink_(std::move(sink)), chunkSize_(chunkSize) {
  data_.reserve(chunkSize_ + chunkSize_ / 8);
}

void OutputBuffer::flush() {
  if (!sink_) return;
  ok_ = ok_ && sink_(data_);
  data_.clear();
}

bool OutputBuffer::finish() {
  if (!data_.empty()) flush();
  return ok_;
}

}  // namespace tallowick
