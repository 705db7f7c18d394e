// Fixed paths and names shared by the updater's parts.
#pragma once

namespace kest {

// Where the agent stages its new files, laid out as a mirror of /.
inline constexpr const char* staging_root = "/var/kest/update";
// Staged unit files; skipped by the installer on hosts without systemd.
inline constexpr const char* staged_unit_folder = "/var/kest/update/etc/systemd/system";
// Locked by a run for as long as it goes on. Under /run, which only root can write and which is
// emptied at boot, so that no other user can hold it or plant it.
inline constexpr const char* update_lock_file = "/run/kest-update.lock";
// What a run keeps to undo its changes, and how the last run ended, for the agent to read.
inline constexpr const char* undo_record_folder = "/var/lib/kest-update/undo";
inline constexpr const char* run_result_file = "/var/lib/kest-update/result.json";

inline constexpr const char* agent_unit_name = "kest";
// How the agent is started on a host without systemd, and the first fallback under it.
inline constexpr const char* service_start_command = "service kest start";
inline constexpr const char* watcher_unit_name = "kest-watcher";
inline constexpr const char* agent_unit_file = "/etc/systemd/system/kest.service";
inline constexpr const char* watcher_unit_file = "/etc/systemd/system/kest-watcher.service";

}  // namespace kest
