// Fixed paths, names and result codes shared by the updater's parts.
#pragma once

namespace kest {

// Where the agent stages its new files, laid out as a mirror of /.
inline constexpr const char* staging_root = "/var/kest/update";
// Staged unit files; skipped by the installer on hosts without systemd.
inline constexpr const char* staged_unit_folder = "/var/kest/update/etc/systemd/system";
// Locked by a run for as long as it goes on. Under /run, which only root can write and which is
// emptied at boot, so that no other user can hold it or plant it.
inline constexpr const char* update_lock_file = "/run/kest-update.lock";

inline constexpr const char* agent_unit_name = "kest";
inline constexpr const char* watcher_unit_name = "kest-watcher";
inline constexpr const char* agent_unit_file = "/etc/systemd/system/kest.service";
inline constexpr const char* watcher_unit_file = "/etc/systemd/system/kest-watcher.service";

// Results of the entry point; they become exit statuses 254 and 253.
inline constexpr int result_bad_argument_count = -2;
inline constexpr int result_bad_pid = -3;

// Results of the installer.
inline constexpr int copy_ok = 0;
inline constexpr int copy_source_unopenable = -1;
inline constexpr int copy_destination_unopenable = -2;
inline constexpr int copy_transfer_failed = -3;
inline constexpr int copy_mkdir_failed = -100;
inline constexpr int copy_stat_failed = -101;
inline constexpr int copy_not_a_directory = -102;

}  // namespace kest
