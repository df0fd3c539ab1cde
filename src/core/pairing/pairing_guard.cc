#include "core/pairing/pairing_guard.h"

#include <chrono>
#include <utility>

#include "shared/psk.h"

namespace tallowick {

namespace {
Date::duration seconds(double s) {
  return std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(s));
}
}  // namespace

PairingGuard::PairingGuard(std::string code, Date now, CodeSource newCode)
    : newCode_(newCode ? std::move(newCode) : CodeSource(&PSK::newCode)),
      code_(std::move(code)),
      rotatedAt_(now) {}

bool PairingGuard::acceptsPairing(Date now) const { return !(pausedUntil_ && now < *pausedUntil_); }

std::optional<Bytes> PairingGuard::pairingKey(Date now) const {
  if (!acceptsPairing(now)) return std::nullopt;
  return PSK::derive(code_);
}

bool PairingGuard::recordFailure(Date now) {
  ++failures_;
  if (failures_ < kMaxFailures) return false;
  replaceCode(now);
  pausedUntil_ = now + seconds(kPauseSeconds);
  return true;
}

void PairingGuard::rotate(Date now) { replaceCode(now); }

bool PairingGuard::rotateIfDue(Date now) {
  if (now >= rotatedAt_ && now - rotatedAt_ < seconds(kRotateSeconds)) return false;
  rotate(now);
  return true;
}

void PairingGuard::replaceCode(Date now) {
  std::string next = newCode_();
  while (next == code_) next = newCode_();
  code_ = std::move(next);
  failures_ = 0;
  rotatedAt_ = now;
}

}  // namespace tallowick
