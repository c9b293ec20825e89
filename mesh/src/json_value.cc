// Values and the text buffers they are built from.
#include <memory>

#include "json.h"

namespace vrell::json {

void Value::assign(std::string_view canonical) {
  const size_t n = canonical.size();
  if (n <= kSmall) {
    release();
    std::memcpy(small_, canonical.data(), n);
    tag_ = static_cast<unsigned char>(n);
    return;
  }
  if (tag_ == kHeap && heap_.capacity >= n && heap_.capacity <= 2 * n + 64) {
    std::memcpy(heap_.data, canonical.data(), n);
    heap_.size = n;
    return;
  }
  // The new block first: if it cannot be had, the value stays as it was.
  char* data = std::allocator<char>().allocate(n);
  std::memcpy(data, canonical.data(), n);
  release();
  heap_ = Heap{data, n, n};
  tag_ = kHeap;
}

void Value::release() noexcept {
  if (tag_ == kHeap) {
    std::allocator<char>().deallocate(heap_.data, heap_.capacity);
    tag_ = 0;
  }
}

Value Value::adopt(Text&& canonical) {
  const size_t n = canonical.size_;
  if (n <= kSmall || canonical.capacity_ > n + n / 4 + 4096) {
    // Inline, or a block mostly slack (whitespace-heavy input): a copy.
    Value v = from_canonical(canonical.view());
    canonical = Text();
    return v;
  }
  Value v;
  v.heap_ = Heap{std::exchange(canonical.data_, nullptr), n, std::exchange(canonical.capacity_, 0)};
  v.tag_ = kHeap;
  canonical.size_ = 0;
  return v;
}

void Text::reserve(size_t n) {
  if (n <= capacity_) return;
  char* data = std::allocator<char>().allocate(n);
  if (size_ != 0) std::memcpy(data, data_, size_);
  release();
  data_ = data;
  capacity_ = n;
}

void Text::release() noexcept {
  if (data_ != nullptr) std::allocator<char>().deallocate(data_, capacity_);
  data_ = nullptr;
  capacity_ = 0;
}

Kind Value::kind() const noexcept {
  const std::string_view text_ = text();
  switch (text_.empty() ? 'n' : text_[0]) {
    case 'n':
      return Kind::Null;
    case 't':
    case 'f':
      return Kind::Bool;
    case '"':
      return Kind::String;
    case '[':
      return Kind::Array;
    case '{':
      return Kind::Object;
    default:
      return Kind::Number;
  }
}

}  // namespace vrell::json
