#include "shared/count_text.h"

namespace tallowick {

const char* countNoun(std::int64_t count, const char* one, const char* many) {
  return count == 1 ? one : many;
}

std::string countText(std::int64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + countNoun(count, one, many);
}

}  // namespace tallowick
