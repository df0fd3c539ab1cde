#include "shared/optional_text.h"

#include <ostream>

namespace tallowick {

OptionalText::OptionalText(const std::optional<std::string>& text) {
  if (text) text_ = std::make_unique<std::string>(*text);
}

OptionalText::OptionalText(const OptionalText& other) {
  if (other) text_ = std::make_unique<std::string>(*other);
}

OptionalText& OptionalText::operator=(const OptionalText& other) {
  if (this != &other) text_ = other ? std::make_unique<std::string>(*other) : nullptr;
  return *this;
}

std::string OptionalText::value_or(std::string_view fallback) const {
  return text_ ? *text_ : std::string(fallback);
}

OptionalText::operator std::optional<std::string>() const {
  if (!text_) return std::nullopt;
  return *text_;
}

bool operator==(const OptionalText& a, const OptionalText& b) {
  if (!a || !b) return !a && !b;
  return *a == *b;
}

std::ostream& operator<<(std::ostream& out, const OptionalText& text) {
  return out << (text ? *text : std::string("(none)"));
}

}  // namespace tallowick
