#!/usr/bin/env bash
# A check of the unit tests: applies representative faults to a scratch copy of this tree, one at
# a time, rebuilds, runs the unit tests (each bounded by its CTest timeout) and prints per fault
# whether the tests caught it, missed it or hung (a test ran into its timeout, which fails it).
# A fault is one exact text replaced in one file; a fault whose text is no longer found is
# reported as not applicable and must be brought up to date with the code.
# Exits nonzero if any fault is missed or not applicable.
# Usage: scripts/inject-faults.sh [FAULT_NAME...]   (default: every fault)
set -euo pipefail
cd "$(dirname "$0")/.."

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The working tree as it is, committed or not, without build folders.
git ls-files -z --cached --others --exclude-standard | tar --null --ignore-failed-read -T - -cf - | tar -x -C "$scratch"
cmake -S "$scratch" -B "$scratch/build" >/dev/null

names=() files=() texts=() replacements=()
# fault NAME FILE TEXT REPLACEMENT
fault() { names+=("$1") files+=("$2") texts+=("$3") replacements+=("$4"); }

fault detach_after_stop updater/run_update.cpp \
    $'    detach(run);\n    if (!plan_changes(run)) {\n        return refuse(run);\n    }\n    stop(run);\n' \
    $'    if (!plan_changes(run)) {\n        return refuse(run);\n    }\n    stop(run);\n    detach(run);\n'
fault closed_descriptors_left_unfilled updater/standard_descriptors.cpp \
    $'void fill_standard_descriptors() {\n' $'void fill_standard_descriptors() {\n    return;\n'
fault endless_probes service/stop_agent.cpp \
    'for (int probe = 0; probe < probes; ++probe) {' 'for (int probe = 0;; ++probe) {'
fault dropin_created_0666_then_narrowed service/patch_service_unit.cpp \
    'O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);' 'O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);'
fault directory_mode_dropped install/copy_directory.cpp \
    'mkdir(destination.c_str(), 0770)' 'mkdir(destination.c_str(), 0777)'
fault retry_skipped install/attempts.h \
    'constexpr int attempts_per_entry = 10;' 'constexpr int attempts_per_entry = 1;'
fault restart_steps_swapped service/restart_agent.cpp \
    $'    run_command(std::string("systemctl enable ") + agent_unit_name);\n    run_command("systemctl daemon-reload");\n' \
    $'    run_command("systemctl daemon-reload");\n    run_command(std::string("systemctl enable ") + agent_unit_name);\n'
fault sigkill_dropped service/stop_agent.cpp \
    $'    (void)platform::seams.send_signal(agent.get(), pid, SIGKILL);\n' ''
fault others_writable_staging_root_accepted guard/update_checks.cpp \
    '!others_can_change(status.st_uid, status.st_gid, status.st_mode, geteuid());' 'true;'
fault caller_signal_state_kept updater/detach_from_caller.cpp $'    reset_signal_handling();\n' ''
fault refused_pidfd_skips_the_kill service/stop_agent.cpp \
    'if (!agent.valid() && errno == ESRCH) {' 'if (!agent.valid()) {'
fault shared_update_lock guard/update_lock.cpp 'LOCK_EX | LOCK_NB' 'LOCK_SH | LOCK_NB'
fault others_writable_tree_trusted shared/ownership.h \
    '(mode & S_IWOTH) != 0 ||' 'false ||'
fault group_writable_tree_trusted shared/ownership.h \
    '((mode & S_IWGRP) != 0 && group != 0)' 'false'
fault destination_route_unchecked guard/check_tree.cpp \
    $'    why = check_landing_route(lands);\n    return refused(why) ? why : preflight_file' \
    $'    return refused(why) ? why : preflight_file'
fault lock_file_open_to_others_accepted shared/ownership.h \
    '(mode & (S_IRWXG | S_IRWXO)) == 0' 'true'
fault busy_file_not_replaced install/install_file.cpp '    if (busy) {' '    if (false) {'
fault mode_set_before_owner base/file_metadata.cpp \
    'fchown(fd, owner, group) == 0 && fchmod(fd, mode & 07777) == 0' \
    'fchmod(fd, mode & 07777) == 0 && fchown(fd, owner, group) == 0'
fault fifo_destination_waited_for install/copy_file.cpp \
    'O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK;' 'O_WRONLY | O_CREAT | O_CLOEXEC;'
fault refused_pidfd_signal_not_sent_by_pid base/platform.cpp \
    'if (errno != ENOSYS && errno != EPERM) {' 'if (true) {'
fault descriptors_left_without_proc updater/inherited_state.cpp 'fd < limit.rlim_cur;' 'fd < 3;'
fault shell_keeps_sigint_ignored base/run_shell.cpp \
    $'        (void)sigaction(SIGINT, &interrupt, nullptr);\n        (void)sigaction(SIGQUIT, &quit, nullptr);\n        (void)sigprocmask' \
    $'        (void)sigprocmask'
fault kernel_copy_failure_taken_for_a_refusal base/kernel_copy.cpp \
    '        if (!first) {' '        if (false) {'
fault lock_released_before_restart updater/run_update.cpp \
    $'    if (restart_agent(run.start_command, run.systemd)) {\n' \
    $'    run.lock.reset();\n    if (restart_agent(run.start_command, run.systemd)) {\n'
fault unreadable_walk_code_changed install/copy_directory.cpp \
    '{copy_source_unopenable, error, true}' '{copy_stat_failed, error, true}'
fault hidden_new_file_reused base/hidden_file.cpp \
    'O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC' 'O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC'
fault undo_folder_created_open rollback/record_folder.cpp \
    'make_directory(folder.c_str(), 0700)' 'make_directory(folder.c_str(), 0755)'
fault undo_folder_open_to_others_accepted rollback/record_folder.cpp \
    'private_to(status.st_uid, status.st_mode, geteuid())' 'true'
fault undo_in_noted_order rollback/undo_changes.cpp \
    'for (auto verdict = verdicts.rbegin(); verdict != verdicts.rend(); ++verdict) {' \
    'for (auto verdict = verdicts.begin(); verdict != verdicts.end(); ++verdict) {'
fault stale_kept_copy_used rollback/plan_changes.cpp \
    '        planned.stamp != stamp_of(now)) {' '        false) {'
fault replaced_inode_not_linked rollback/plan_changes.cpp \
    $'    if (now.st_dev == record.device) {\n        (void)link_old_inode' \
    $'    if (false) {\n        (void)link_old_inode'
fault existing_file_noted_as_created rollback/plan_changes.cpp \
    $'        return ELOOP;\n    }\n' \
    $'        return ELOOP;\n    }\n    return note_missing(record, kind, target, reload_after);\n'
fault undo_record_not_flushed rollback/plan_changes.cpp \
    $'        if (const int error = flush_journal(record); error != 0) {\n            return error;\n        }\n    }\n    return kind' \
    $'    }\n    return kind'
fault torn_journal_end_kept rollback/record_folder.cpp \
    $'    if (static_cast<std::uint64_t>(status.st_size) > record.journal_end &&\n' \
    $'    if (false &&\n'
fault undoing_mark_ignored rollback/record_folder.cpp \
    $'        case entry_type::undoing:\n            reading.last = record_state::planned;' \
    $'        case entry_type::undoing:\n            break;'
fault link_at_created_path_removed rollback/undo_changes.cpp '    if (!expected) {' '    if (false) {'
fault full_disk_restore_not_renamed rollback/undo_changes.cpp \
    '(error == ENOSPC || error == EDQUOT) && status.st_dev == record.device' 'false'
fault incomplete_record_removed rollback/recovery.cpp \
    'if (not_restored != 0) {' 'if (false) {'
fault result_file_open_to_all updater/run_result.cpp \
    'create_hidden_sibling(folder, name, "kest-update", 0644, created)' \
    'create_hidden_sibling(folder, name, "kest-update", 0666, created)'
fault invalid_utf8_in_result base/utf8.cpp \
    $'    } else {\n        return 0;\n    }' $'    } else {\n        return 1;\n    }'

fault append_only_directory_refused guard/preflight.cpp \
    '(facts.append_only && !S_ISDIR(facts.mode))' 'facts.append_only'
fault own_executable_folder_not_followed guard/preflight.cpp \
    $'        // Replaced by a new file beside it.\n        return add_entry(state, destination, lands.target, size);' \
    $'        // Replaced by a new file beside it.\n        return add_entry(state, destination, destination, size);'
fault statx_refused_by_a_filter_not_replaced shared/file_facts.cpp \
    'return errno == ENOSYS || errno == EPERM ?' 'return errno == ENOSYS ?'
fault lock_file_of_any_type_accepted guard/update_lock.cpp \
    'return S_ISREG(status.st_mode) && private_to(' 'return private_to('
fault dot_dot_taken_for_dot shared/landing.cpp \
    "state.current.resize(state.current.empty() ? 0 : state.current.rfind('/'));" ';'
fault empty_file_turns_kernel_copy_off install/kernel_copy.cpp \
    '!S_ISREG(source_status.st_mode) || source_status.st_size == 0 ||' '!S_ISREG(source_status.st_mode) ||'
fault commands_start_with_sigchld_blocked base/run_shell.cpp \
    $'        (void)sigprocmask(SIG_SETMASK, &mask, nullptr);\n        execl' $'        execl'
fault only_the_first_file_system_flushed base/written_file_systems.cpp \
    'if (known != noted().end() && known->second.file.valid()) {' 'if (!noted().empty()) {'
fault flush_descriptors_inherited base/written_file_systems.cpp \
    'O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);' 'O_RDONLY | O_NONBLOCK | O_NOCTTY, 0);'
fault close_range_closes_instead_of_marking base/system_calls.h \
    'constexpr unsigned close_range_cloexec = 1U << 2;' 'constexpr unsigned close_range_cloexec = 1U << 1;'
fault unreadable_staged_status_skipped shared/walk_tree.cpp \
    'return error == ENOENT || error == ENOTDIR || error == ELOOP;' 'return true;'
fault systemd_asked_again_for_the_restart updater/run_update.cpp \
    'if (restart_agent(run.start_command, run.systemd)) {' \
    'if (restart_agent(run.start_command, platform::seams.systemd_present())) {'
fault directory_over_a_link_to_nothing_accepted shared/landing.cpp \
    'state.kind == write_kind::directory && state.last_was_link' 'false'
fault new_file_judged_beside_the_link guard/preflight.cpp \
    $'    if (lands.looked_up == ENOENT) {\n        refusal made = add_entry(state, destination, lands.target, size);' \
    $'    if (lands.looked_up == ENOENT) {\n        refusal made = add_entry(state, destination, destination, size);'

fault names_logged_unescaped base/log.cpp \
    'escaped_for_log(std::string(text.data(), static_cast<size_t>(length)));' \
    'std::string(text.data(), static_cast<size_t>(length));'
fault every_busy_file_waits install/install_file.cpp \
    'const bool at_once = state.waited_for_busy || names_own_executable(destination);' \
    'const bool at_once = names_own_executable(destination);'
fault walk_through_links_unbounded shared/walk_tree.cpp \
    $'    return ++state.linked_entries[{entry.status.st_dev, entry.status.st_ino}] <=\n           entries_through_links;' \
    $'    return true;'

fault record_needs_no_inodes guard/preflight.cpp \
    'need.inodes += state.kept_files + 1 + made;' 'need.inodes += 0;'
fault record_needs_no_space guard/preflight.cpp \
    'need.bytes += state.kept_bytes + state.kept_files * need.block_size +' 'need.bytes += 0 * need.block_size +'
fault record_folder_open_to_others_accepted guard/preflight.cpp \
    '!private_to(facts.owner, facts.mode, geteuid())' 'false'
fault recovery_under_a_held_lock updater/run_update.cpp \
    '    if (!lock_update(paths, lock)) {' '    if (false) {'
fault interrupted_record_left_before_the_checks updater/run_update.cpp \
    '    if (!recover_first(run)) {' '    if (false) {'
fault failed_copy_not_rolled_back updater/run_update.cpp \
    '    if (!install(run) || !restart(run) || !watch(run)) {' \
    $'    if (!install(run)) {\n        return 1;\n    }\n    if (!restart(run) || !watch(run)) {'
fault release_that_does_not_start_kept updater/run_update.cpp \
    '    if (!install(run) || !restart(run) || !watch(run)) {' \
    '    if (!install(run) || (!restart(run) && false) || !watch(run)) {'
fault untouched_file_restored_in_place rollback/undo_changes.cpp \
    '        is_created(entry) || !as_kept(record, read.changes[index], at, verdict.now, verdict.error);' \
    '        true;'
fault rewritten_file_restored_as_another_inode rollback/undo_changes.cpp \
    'verdict.found && verdict.now.st_dev == entry.stamp.device &&' 'false &&'

fault relative_path_landed_in_the_wrong_order shared/landing.cpp \
    $'        push_names(path, state.pending);\n        push_names(cwd.data(), state.pending);' \
    $'        push_names(cwd.data(), state.pending);\n        push_names(path, state.pending);'
fault lookup_error_taken_for_a_missing_name shared/landing.cpp \
    $'        if (looked == ENOENT) {\n            return ends_missing' \
    $'        if (looked == ENOENT || looked == EACCES) {\n            return ends_missing'
fault entries_through_links_off_by_one shared/walk_tree.cpp \
    'constexpr int entries_through_links = 8;' 'constexpr int entries_through_links = 9;'
fault million_entries_counted_through_links_only shared/walk_tree.cpp \
    $'    if (++state.entries > entries_in_a_walk) {\n        return false;\n    }\n    if (!entry.maybe_link || !S_ISDIR(entry.status.st_mode)) {\n        return true;\n    }\n' \
    $'    if (!entry.maybe_link || !S_ISDIR(entry.status.st_mode)) {\n        return true;\n    }\n    if (++state.entries > entries_in_a_walk) {\n        return false;\n    }\n'
fault overlong_three_byte_sequence_logged base/utf8.cpp \
    '        low = lead == 0xe0 ? 0xa0 : 0x80;' '        low = 0x80;'
fault utf8_check_off_by_one_at_the_end base/utf8.cpp \
    'return i < text.size() ?' 'return i + 1 < text.size() ?'
fault journal_entry_with_a_bad_checksum_accepted rollback/record_journal.cpp \
    '        checksum_of(header, entry.path, entry.attributes) != header.checksum) {' '        false) {'
fault restored_files_not_flushed rollback/recovery.cpp \
    $'    // The record may only go once what it restored is on disk.\n    flush_written();\n' ''
fault plan_not_flushed_before_the_first_change rollback/plan_changes.cpp \
    $'    if (platform::seams.flush_file_system(record.directory.get()) != 0) {\n        return errno;\n    }\n    record.sealed = true;' \
    $'    record.sealed = true;'
fault commit_not_flushed rollback/record_folder.cpp \
    $'    return error != 0 ? error : flush_journal(record);\n}\n\nrecord_state' $'    return error;\n}\n\nrecord_state'
fault record_that_may_have_changed_files_wiped rollback/record_folder.cpp \
    '        if (find_interrupted_record(folder, found) != record_state::none) {' '        if (false) {'
fault attributes_not_restored rollback/undo_changes.cpp \
    '    return !record.without_attributes && decode_attributes(entry.attributes, attributes)' \
    '    return false && decode_attributes(entry.attributes, attributes)'
fault capability_copied_to_the_replacement install/replace_file.cpp \
    'copy_extended_attributes(old_file, file.get(), file_capability_attribute)' \
    'copy_extended_attributes(old_file, file.get(), "")'
fault held_directory_counted_as_not_restored rollback/undo_changes.cpp \
    $'        if (errno == ENOTEMPTY || errno == EEXIST) {\n            log_warning' \
    $'        if (false) {\n            log_warning'
fault reused_pid_watched service/watch_agent.cpp \
    ' && hold_process(pid, process) && agent.includes(pid)) {' ' && hold_process(pid, process)) {'
fault own_process_killed service/stop_written_programs.cpp \
    'if (process.pid == self || !is_written(process.executable, files) ||' \
    'if (!is_written(process.executable, files) ||'
fault watch_time_changed service/watch_agent.cpp \
    'constexpr std::chrono::seconds watch_time{10};' 'constexpr std::chrono::seconds watch_time{11};'
fault watching_result_not_written_before_the_restart updater/run_update.cpp \
    $'    run.result.what = outcome::watching;\n    write_result(run.paths, run.result);\n' \
    $'    run.result.what = outcome::watching;\n'
fault restarted_record_of_another_boot_kept rollback/recovery.cpp \
    '(state == record_state::restarted && record.same_boot)' '(state == record_state::restarted)'
fault check_keeps_its_lock updater/check_update.cpp \
    '    unique_fd lock;  // released when the checks end' '    static unique_fd lock;'

# Replaces the one occurrence of TEXT in FILE by REPLACEMENT; fails when TEXT is not there once.
replace_once() {
    python3 - "$@" <<'EOF'
import sys
path, text, replacement = sys.argv[1:4]
with open(path) as f:
    content = f.read()
if content.count(text) != 1:
    sys.exit(1)
with open(path, "w") as f:
    f.write(content.replace(text, replacement))
EOF
}

# Prints passed, failed or hung for the unit tests of the scratch build.
run_unit_tests() {
    local log=$scratch/ctest.log
    if ctest --test-dir "$scratch/build" -LE e2e -j2 >"$log" 2>&1; then
        echo passed
    elif grep -q '(Timeout)' "$log"; then
        echo hung
    else
        echo failed
    fi
}

# The tests that failed or ran into their timeout in the last run, on one line.
failed_tests() {
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Failed\|Timeout\))$/\1/p' "$scratch/ctest.log" |
        paste -sd ' '
}

echo "building the scratch copy in $scratch"
cmake --build "$scratch/build" -j2 >/dev/null
if [ "$(run_unit_tests)" != passed ]; then
    echo "the unit tests fail without any fault: fix them first" >&2
    cat "$scratch/ctest.log" >&2
    exit 1
fi

bad=0
for i in "${!names[@]}"; do
    name=${names[i]} file=${files[i]}
    if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then
        continue
    fi
    cp "$file" "$scratch/$file"
    if ! replace_once "$scratch/$file" "${texts[i]}" "${replacements[i]}"; then
        echo "NOT APPLICABLE: $name: its text is not found once in $file; update the fault" >&2
        bad=1
        continue
    fi
    if ! cmake --build "$scratch/build" -j2 >"$scratch/build.log" 2>&1; then
        echo "NOT APPLICABLE: $name: the faulty code does not build" >&2
        bad=1
    else
        case $(run_unit_tests) in
        passed)
            echo "missed  $name ($file)"
            bad=1
            ;;
        hung) echo "hung    $name ($file): a test ran into its timeout: $(failed_tests)" ;;
        failed) echo "caught  $name ($file): $(failed_tests)" ;;
        esac
    fi
    cp "$file" "$scratch/$file"
done
exit "$bad"
