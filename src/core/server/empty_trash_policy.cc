#include "core/server/empty_trash_policy.h"

#include <chrono>

namespace tallowick {

bool EmptyTrashPolicy::allows(const std::string& device, Date now, bool confirm) const {
  if (!confirm || !lastCommit || lastCommit->device != device) return false;
  std::chrono::duration<double> elapsed = now - lastCommit->at;
  return elapsed.count() <= window;
}

}  // namespace tallowick
