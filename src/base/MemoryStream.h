#pragma once
// A caller-owned in-memory byte stream: the HTTP client's RcvdStream, read back as page text.
// The client writes at Position (growing the data as needed) and never frees the stream.
#include <cstddef>
#include <string>

namespace base {

class TMemoryStream {
 public:
  const std::string& Data() const { return data_; }
  std::size_t Size() const { return data_.size(); }
  std::size_t Position() const { return position_; }
  void SetPosition(std::size_t pos) { position_ = pos < data_.size() ? pos : data_.size(); }

  // Writes count bytes at the current position, overwriting and then extending the data.
  void Write(const char* bytes, std::size_t count) {
    if (position_ == data_.size()) {  // the usual case: appending, without zero-filling first
      data_.append(bytes, count);
      position_ += count;
      return;
    }
    if (position_ + count > data_.size()) data_.resize(position_ + count);
    data_.replace(position_, count, bytes, count);
    position_ += count;
  }
  // Reads up to count bytes from the current position into out; returns how many were read.
  std::size_t Read(std::string& out, std::size_t count) {
    std::size_t n = position_ < data_.size() ? data_.size() - position_ : 0;
    if (count < n) n = count;
    out.assign(data_, position_, n);
    position_ += n;
    return n;
  }
  // Cuts the data back (or zero-extends it) to size; the position stays within the data.
  void SetSize(std::size_t size) {
    data_.resize(size);
    if (position_ > size) position_ = size;
  }
  void Clear() { data_.clear(); position_ = 0; }

 private:
  std::string data_;
  std::size_t position_ = 0;
};

}  // namespace base
