#pragma once

#include <optional>
#include <ostream>
#include <string>

class AccessInspector;
class HidSystem;

// qefftool doctor: what stands between this computer and an upgrade of the
// package's product (or any product, without one) for `user` (or this
// process's), one finding a line as text or as one JSON object each. Returns
// 0 when an upgrade would go, else the exit code it would end with.
int RunDoctor(HidSystem& hid, AccessInspector& inspector, const std::optional<std::string>& package,
              const std::optional<std::string>& user, std::ostream& out, bool json = false);
