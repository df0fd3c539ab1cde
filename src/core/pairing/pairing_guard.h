#pragma once

// Guards the six-digit pairing code: counts failed code pairings, replaces the
// code and pauses code pairing after too many of them, and replaces the code
// on a schedule.
//
//   Open    pausedUntil absent or not after now   pairingKey gives the key
//   Paused  now strictly before pausedUntil       pairingKey gives none
//
// The guard never reads the clock: every operation takes `now` from the
// caller, so the server passes the current time and tests drive time freely.
//
// Threading: a plain value with no lock, held by the server and changed only
// on its queue ("tallowick.server").

#include <functional>
#include <optional>
#include <string>

#include "shared/json_codec.h"

namespace tallowick {

class PairingGuard {
 public:
  // Draws a candidate six-digit code; PSK::newCode unless a test supplies one.
  using CodeSource = std::function<std::string()>;

  static constexpr int kMaxFailures = 5;
  static constexpr double kPauseSeconds = 60.0;
  static constexpr double kRotateSeconds = 300.0;

  // REQUIRES: `code` is six decimal digits.
  PairingGuard(std::string code, Date now, CodeSource newCode = {});

  int maxFailures() const { return kMaxFailures; }
  double pauseSeconds() const { return kPauseSeconds; }
  double rotateSeconds() const { return kRotateSeconds; }

  const std::string& code() const { return code_; }
  // Failures since the last new code; always below maxFailures between calls.
  int failures() const { return failures_; }
  // When the current code was made.
  Date rotatedAt() const { return rotatedAt_; }
  // End of the current or last pause; never cleared once set.
  std::optional<Date> pausedUntil() const { return pausedUntil_; }

  // False only while now is strictly before pausedUntil.
  bool acceptsPairing(Date now) const;

  // PSK::derive(code) while pairing is accepted, else no value.
  std::optional<Bytes> pairingKey(Date now) const;

  // Counts one failed code pairing. The maxFailures-th failure since the last
  // new code replaces the code and pauses pairing until now + pauseSeconds
  // (extending a running pause); returns true exactly then. Failures while
  // paused count too.
  bool recordFailure(Date now);

  // Replaces the code and resets the failure count; a running pause goes on.
  void rotate(Date now);

  // Rotates when the code is at least rotateSeconds old, or when now is
  // before rotatedAt (the wall clock was set back: the code's age is then
  // unknown, and a code must not outlive its schedule). Returns whether it
  // rotated.
  bool rotateIfDue(Date now);

 private:
  void replaceCode(Date now);

  CodeSource newCode_;
  std::string code_;
  int failures_ = 0;
  Date rotatedAt_;
  std::optional<Date> pausedUntil_;
};

}  // namespace tallowick
