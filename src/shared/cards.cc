#include "shared/cards.h"

namespace tallowick {

Json CommitFailure::toJson() const { return Json{{"id", codec::encode(id)}, {"reason", reason}}; }

CommitFailure CommitFailure::fromJson(const Json& j) {
  return CommitFailure{codec::field<Uuid>(j, "id"), codec::field<std::string>(j, "reason")};
}

}  // namespace tallowick
