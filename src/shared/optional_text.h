#pragma once

// An optional text that takes the room of one pointer while absent. Most of
// a scan's items never get the texts kept this way (a thumbnail's path), and
// a million empty std::optional<std::string> fields took 40 bytes each.

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tallowick {

class OptionalText {
 public:
  OptionalText() = default;
  OptionalText(std::nullopt_t) {}
  OptionalText(std::string text) : text_(std::make_unique<std::string>(std::move(text))) {}
  OptionalText(const char* text) : OptionalText(std::string(text)) {}
  OptionalText(const std::optional<std::string>& text);
  OptionalText(const OptionalText& other);
  OptionalText(OptionalText&&) noexcept = default;
  OptionalText& operator=(const OptionalText& other);
  OptionalText& operator=(OptionalText&&) noexcept = default;

  bool has_value() const { return text_ != nullptr; }
  explicit operator bool() const { return has_value(); }
  void reset() { text_.reset(); }

  // REQUIRES: has_value().
  const std::string& operator*() const { return *text_; }
  const std::string* operator->() const { return text_.get(); }
  std::string value_or(std::string_view fallback) const;
  operator std::optional<std::string>() const;

  friend bool operator==(const OptionalText& a, const OptionalText& b);
  friend bool operator==(const OptionalText& a, std::nullopt_t) { return !a; }
  friend bool operator==(const OptionalText& a, std::string_view b) { return a && *a == b; }
  friend bool operator==(const OptionalText& a, const std::string& b) {
    return a == std::string_view(b);
  }
  friend bool operator==(const OptionalText& a, const char* b) { return a == std::string_view(b); }
  friend std::ostream& operator<<(std::ostream& out, const OptionalText& text);

 private:
  std::unique_ptr<std::string> text_;
};

}  // namespace tallowick
