// Who is on call: a schedule's rotations (later ones winning where they
// cover the same moment), their day and hour limits, iCal sources and
// overrides (winning over every rotation), evaluated at an instant in the
// schedule's IANA time zone.
//
// A shift that is a whole number of days is counted in local days: a "1d"
// shift that spans a daylight-saving change ends at the same local hour (and
// so lasts 23 or 25 hours). Other shifts are counted in elapsed time.
//
// Thread-safety: pure functions of their arguments.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ringwell/oncall/config.h"

namespace ringwell::oncall {

// The key of the person on call in `schedule` at `at`; empty when nobody is.
std::string OnCallAt(const Schedule& schedule, Instant at);

struct Handoff {
  Instant at;
  std::string person;  // who is on call from `at`; empty: nobody
};

// The next `count` changes of who is on call after `after`, none later than
// `horizon`.
std::vector<Handoff> NextHandoffs(const Schedule& schedule, Instant after, std::size_t count,
                                  Instant horizon);

// The first instant after `at` where the rotation's answer may change.
std::optional<Instant> NextRotationBoundary(const Rotation& rotation, const cctz::time_zone& zone,
                                            Instant at);

}  // namespace ringwell::oncall
