// Makes stopping the agent's unit spare every process of it but the agent's main one.
#pragma once

#include <string>

#include "shared/change_notice.h"

namespace kest {

// Unless the unit file at `unit_file` (the agent's, /etc/systemd/system/kest.service) itself
// sets "KillMode=process", writes the drop-in override.conf beside it, in `unit_file` + ".d",
// that sets it and reloads systemd. When the unit file sets it, removes an override.conf left by
// an earlier run (and the drop-in directory if that leaves it empty; other drop-ins stay),
// logging that only when it removed something. File-system failures are silent.
// Before writing the drop-in, tells `notice` (when set) what that changes: the directory when it
// is made, then the file; the first of them with a reload after its undo.
void patch_service_unit(const std::string& unit_file, const change_notice& notice = nullptr);

}  // namespace kest
