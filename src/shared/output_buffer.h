#pragma once

// Bytes gathered into chunks and handed on a chunk at a time, so a writer of
// a large document (the stored report, the hash cache) can produce it piece
// by piece while memory stays bounded by the chunk size.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tallowick {

class OutputBuffer {
 public:
  // Receives each full chunk; returns false when it could not take it.
  using Sink = std::function<bool(std::string_view)>;

  // Everything stays in memory; take() gives it.
  OutputBuffer() = default;
  // Hands every chunk of about `chunkSize` bytes to `sink`.
  explicit OutputBuffer(Sink sink, std::size_t chunkSize = 1 << 20);

  void append(std::string_view text) {
    data_.append(text);
    if (data_.size() >= chunkSize_) flush();
  }
  void append(char c) {
    data_.push_back(c);
    if (data_.size() >= chunkSize_) flush();
  }

  // Hands what is left to the sink. False when any chunk was refused.
  bool finish();

  // REQUIRES: constructed without a sink.
  std::string take() { return std::move(data_); }

 private:
  void flush();

  Sink sink_;
  std::size_t chunkSize_ = static_cast<std::size_t>(-1);
  std::string data_;
  bool ok_ = true;
};

}  // namespace tallowick
