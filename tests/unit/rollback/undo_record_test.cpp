#include "rollback/undo_record.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "rollback/recovery.h"
#include "support/test_support.h"
#include "support/tree_snapshot.h"

namespace kest {
namespace {

using testing::err;
using testing::exists;
using testing::info;
using testing::logged;
using testing::read_file;
using testing::scratch_dir;
using testing::warning;
using testing::write_file;

// A tree as the snapshot sees it, with each entry's owner and group and a file's modification
// time.
struct file_state {
    testing::snapshot_entry entry;
    uid_t owner;
    gid_t group;
    long long mtime;
    std::map<std::string, std::string> attributes;
    bool operator==(const file_state&) const = default;
};
std::ostream& operator<<(std::ostream& out, const file_state& state) {
    out << std::oct << state.entry.mode << std::dec << " inode " << state.entry.inode << " "
        << state.owner << ":" << state.group << " mtime " << state.mtime << " \""
        << state.entry.content << "\"";
    for (const auto& [name, value] : state.attributes) {
        out << " " << name << "(" << value.size() << ")";
    }
    return out;
}
std::map<std::string, std::string> attributes_of(const std::string& path) {
    std::map<std::string, std::string> found;
    std::string names(4096, '\0');
    const ssize_t size = llistxattr(path.c_str(), names.data(), names.size());
    for (std::size_t at = 0; size > 0 && at < static_cast<std::size_t>(size);) {
        const std::string name = names.c_str() + at;
        at += name.size() + 1;
        std::string value(4096, '\0');
        const ssize_t length = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        found[name] = value.substr(0, length > 0 ? static_cast<std::size_t>(length) : 0);
    }
    return found;
}
std::map<std::string, file_state> state_of(const std::string& root) {
    std::map<std::string, file_state> out;
    for (const auto& [path, entry] : testing::snapshot(root)) {
        struct stat status {};
        EXPECT_EQ(lstat((root + path).c_str(), &status), 0);
        const long long mtime = status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec;
        out[path] = {entry, status.st_uid, status.st_gid, S_ISREG(status.st_mode) ? mtime : 0,
                     attributes_of(root + path)};
    }
    return out;
}

void set_attribute(const std::string& path, const char* name, const std::string& value) {
    ASSERT_EQ(setxattr(path.c_str(), name, value.data(), value.size(), 0), 0)
        << path << " " << name;
}

// An access ACL that lets user 1234 read (in a user namespace that maps this user alone, user 0):
// owner rw, named user r, group r, mask r, others none.
std::string reading_acl() {
    const std::uint32_t header = 2;
    const std::uint16_t entries[][4] = {
        {0x01, 6, 0, 0},
        {0x02, 4, testing::real_root() ? std::uint16_t{1234} : std::uint16_t{0}, 0},
        {0x04, 4, 0, 0},
        {0x10, 4, 0, 0},
        {0x20, 0, 0, 0}};
    std::string acl(reinterpret_cast<const char*>(&header), sizeof header);
    for (const auto& entry : entries) {
        acl.append(reinterpret_cast<const char*>(entry), sizeof entry);
    }
    return acl;
}

// A file capability (revision 2) that permits binding low ports.
std::string low_ports_capability() {
    const std::uint32_t data[5] = {0x02000000, 1U << 10, 0, 0, 0};
    return std::string(reinterpret_cast<const char*>(data), sizeof data);
}

// An old file: owner, group and a modification time of its own.
void old_file(const std::string& path, const std::string& content, mode_t mode, uid_t owner,
              gid_t group) {
    write_file(path, content, 0600);
    const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 123456789}};
    ASSERT_EQ(chown(path.c_str(), owner, group), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// The new content put in place the way a replacement does: a new inode renamed over it.
void rename_over(const std::string& path, const std::string& side) {
    write_file(side, "new", 0755);
    ASSERT_EQ(rename(side.c_str(), path.c_str()), 0);
}

// The creation mask is cleared in the detached updater.
class undo_test : public testing::seam_test {
  protected:
    void SetUp() override { seam_test::SetUp(); }
    void TearDown() override { seam_test::TearDown(); }

    scratch_dir dir_;
    const std::string folder_ = dir_ / "lib/undo";

  private:
    testing::cleared_creation_mask mask_;  // as in the detached updater
};

struct step {
    change_kind kind;
    const char* path;
    std::function<void(const std::string& root, const std::string& path)> change;
};

// One of each kind of change; mnt/ is another file system than the record's.
const std::vector<step> steps{
    {change_kind::rewrite, "bin/tool",
     [](const std::string&, const std::string& path) {
         // In place: set-id bits, owner, time and capability lost, an attribute of its own added.
         write_file(path, "new", 0755);
         ASSERT_EQ(chown(path.c_str(), getuid(), getgid()), 0);
         set_attribute(path, "user.release", "2");
         set_attribute(path, "user.new", "x");
     }},
    {change_kind::create_directory, "opt",
     [](const std::string&, const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0770), 0); }},
    {change_kind::create_file, "opt/new.so",
     [](const std::string&, const std::string& path) { write_file(path, "new"); }},
    {change_kind::replace, "bin/kestd",
     [](const std::string& root, const std::string& path) { rename_over(path, root + ".new"); }},
    {change_kind::replace, "mnt/agent.conf",
     [](const std::string& root, const std::string& path) { rename_over(path, root + "/mnt/.n"); }},
    {change_kind::rewrite, "etc/app.conf",
     [](const std::string&, const std::string& path) { write_file(path, "", 0644); }},
};

TEST_F(undo_test, undo_after_any_number_of_changes_restores_the_tree_exactly) {
    ASSERT_TRUE(testing::enter_private_mount_namespace());
    // Another user's files where the machine allows it.
    const uid_t owner = testing::real_root() ? 4321 : getuid();
    const gid_t group = testing::real_root() ? 4322 : getgid();
    for (std::size_t made = 0; made <= steps.size(); ++made) {
        SCOPED_TRACE(std::to_string(made) + " changes made");
        const std::string root = dir_ / ("tree" + std::to_string(made));
        for (const char* folder : {"", "/bin", "/etc", "/mnt"}) {
            ASSERT_EQ(mkdir((root + folder).c_str(), 0755), 0);
        }
        ASSERT_EQ(mount("none", (root + "/mnt").c_str(), "tmpfs", 0, "mode=0755"), 0);
        old_file(root + "/bin/tool", "old tool", 04755, owner, group);
        old_file(root + "/bin/kestd", "old agent", 0750, owner, group);
        old_file(root + "/mnt/agent.conf", "old agent conf", 02640, owner, group);
        old_file(root + "/etc/app.conf", "old conf", 0644, owner, group);
        // Extended attributes that a rollback must bring back: the capability only root can set.
        for (const char* file : {"/bin/tool", "/bin/kestd", "/mnt/agent.conf", "/etc/app.conf"}) {
            set_attribute(root + file, "user.release", "1");
        }
        set_attribute(root + "/etc/app.conf", "system.posix_acl_access", reading_acl());
        set_attribute(root + "/mnt/agent.conf", "system.posix_acl_access", reading_acl());
        if (testing::real_root()) {
            set_attribute(root + "/bin/tool", "security.capability", low_ports_capability());
        }

        undo_record record;
        ASSERT_EQ(open_undo_record(folder_, record), 0);
        for (const char* kept : {"/bin/tool", "/bin/kestd", "/mnt/agent.conf", "/etc/app.conf"}) {
            ASSERT_EQ(plan_kept_file(record, root + kept), 0);
        }
        const auto planned = state_of(root);
        // Changed by the agent before its stop: what undo brings back once the copy has told
        // of its change; untold, the plan's copy comes back.
        write_file(root + "/etc/app.conf", "conf of the last minute");
        const auto before = made == steps.size() ? state_of(root) : planned;
        ASSERT_EQ(seal_undo_record(record), 0);
        testing::journal.clear();
        for (std::size_t i = 0; i < made; ++i) {
            const std::string path = root + "/" + steps[i].path;
            ASSERT_EQ(note_change(record, steps[i].kind, path), 0);
            steps[i].change(root, path);
        }
        // Each change but the first (planned, and unchanged since) first puts on disk what it
        // adds to the record: a creation, a replacement's new file, a copy kept anew.
        EXPECT_EQ(std::count(testing::journal.begin(), testing::journal.end(), "flush file"),
                  made == 0 ? 0 : static_cast<long>(made) - 1);
        EXPECT_EQ(undo_changes(record, nullptr), 0);
        EXPECT_EQ(remove_undo_record(record), 0);
        EXPECT_FALSE(exists(folder_));

        auto after = state_of(root);
        // Kept on another file system: a copy comes back, as a new inode.
        if (made > 4) {
            EXPECT_NE(after["/mnt/agent.conf"].entry.inode,
                      before.at("/mnt/agent.conf").entry.inode);
            after["/mnt/agent.conf"].entry.inode = before.at("/mnt/agent.conf").entry.inode;
        }
        EXPECT_EQ(after, before);
        ASSERT_EQ(umount2((root + "/mnt").c_str(), MNT_DETACH), 0);
    }
    EXPECT_EQ(logged, std::vector<testing::log_line>{});
}

TEST_F(undo_test, record_folder_is_made_closed_and_a_record_is_never_replaced_unresolved) {
    undo_record record;
    ASSERT_EQ(open_undo_record(folder_, record), 0);
    EXPECT_EQ(testing::mode_of(dir_ / "lib"), 0755u);
    EXPECT_EQ(testing::mode_of(folder_), 0700u);
    EXPECT_EQ(testing::mode_of(folder_ + "/journal"), 0600u);
    write_file(dir_ / "old", "old");
    ASSERT_EQ(plan_kept_file(record, dir_ / "old"), 0);
    EXPECT_EQ(plan_kept_file(record, dir_.path()), EINVAL);
    undo_record found;
    EXPECT_EQ(find_interrupted_record(folder_, found), record_state::none)
        << "nothing is changed before the plan is whole";
    ASSERT_EQ(seal_undo_record(record), 0);
    EXPECT_EQ(testing::journal, std::vector<std::string>{"flush"});
    EXPECT_EQ(find_interrupted_record(folder_, found), record_state::planned);
    for (const mode_t open_to_others : {0710, 0701, 0770}) {
        ASSERT_EQ(chmod(folder_.c_str(), open_to_others), 0);
        undo_record refused;
        EXPECT_EQ(find_interrupted_record(folder_, refused), record_state::none);
        EXPECT_EQ(open_undo_record(folder_, refused), EPERM);
    }
    ASSERT_EQ(chmod(folder_.c_str(), 0700), 0);
    // The states that follow the plan, the last one deciding.
    const std::vector<std::pair<int (*)(undo_record&), record_state>> marks{
        {mark_restarted, record_state::restarted},
        {mark_undoing, record_state::planned},
        {mark_committed, record_state::committed},
    };
    for (const auto& [mark, state] : marks) {
        ASSERT_EQ(mark(record), 0);
        EXPECT_EQ(find_interrupted_record(folder_, found), state);
    }
    EXPECT_EQ(testing::journal, (std::vector<std::string>{"flush", "flush file"}))
        << "only the commit is flushed";
    undo_record fresh;
    EXPECT_EQ(open_undo_record(folder_, fresh), EEXIST) << "an unresolved record stays";
    EXPECT_EQ(read_file(dir_ / "old"), "old");
    ASSERT_EQ(remove_undo_record(record), 0);
    ASSERT_EQ(open_undo_record(folder_, fresh), 0);
    EXPECT_EQ(testing::entry_names(folder_), std::vector<std::string>{"journal"})
        << "a new record starts empty";
    ASSERT_EQ(symlink("old", (dir_ / "link").c_str()), 0);
    EXPECT_EQ(note_change(fresh, change_kind::rewrite, dir_ / "link"), ELOOP);
    EXPECT_EQ(note_change(fresh, change_kind::create_file, "relative"), EINVAL);
    // An entry changed on disk since it was written is no entry: the seal is lost.
    const unique_fd journal(open((folder_ + "/journal").c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_EQ(pwrite(journal.get(), "\1", 1, static_cast<off_t>(fresh.journal_end) - 1), 1);
    EXPECT_EQ(find_interrupted_record(folder_, found), record_state::none);
}

TEST_F(undo_test, entries_that_cannot_be_restored_are_reported_and_what_others_made_stays) {
    write_file(dir_ / "kept", "old");
    undo_record record;
    ASSERT_EQ(open_undo_record(folder_, record), 0);
    const std::vector<std::pair<change_kind, std::string>> changes{
        {change_kind::create_directory, dir_ / "dir"}, {change_kind::create_file, dir_ / "dir/f"},
        {change_kind::create_file, dir_ / "removed"},  {change_kind::create_file, dir_ / "link"},
        {change_kind::create_file, dir_ / "kept"},     {change_kind::create_directory, dir_ / "d2"},
    };
    for (const auto& [kind, path] : changes) {
        ASSERT_EQ(note_change(record, kind, path), 0);
        kind == change_kind::create_directory ? (void)mkdir(path.c_str(), 0770)
                                              : write_file(path, "new");
    }
    // Put there by others since: never removed.
    write_file(dir_ / "dir/theirs", "theirs");
    ASSERT_EQ(unlink((dir_ / "link").c_str()), 0);
    ASSERT_EQ(symlink("kept", (dir_ / "link").c_str()), 0);
    ASSERT_EQ(rmdir((dir_ / "d2").c_str()), 0);
    write_file(dir_ / "d2", "theirs");

    // A torn entry at the end, from a write cut short: dropped.
    std::ofstream(folder_ + "/journal", std::ios::app) << "torn";
    const std::vector<testing::log_line> expected{
        info("Recovering an interrupted update"),
        err("Cannot restore " + dir_ / "d2" + ": Not a directory"),
        err("Cannot restore " + dir_ / "link" + ": Too many levels of symbolic links"),
        warning("Keeping " + dir_ / "dir" + ": Directory not empty"),
        err("Rollback incomplete: 2 entries not restored"),
    };
    EXPECT_EQ(recover_interrupted_update(folder_, nullptr).state, recovery::incomplete);
    EXPECT_EQ(logged, expected);
    EXPECT_EQ(read_file(dir_ / "kept"), "old");
    EXPECT_FALSE(exists(dir_ / "removed"));
    EXPECT_FALSE(exists(dir_ / "dir/f"));

    // A second try finds the same: what is restored stays so, what others put there stays.
    logged.clear();
    EXPECT_EQ(recover_interrupted_update(folder_, nullptr).state, recovery::incomplete);
    EXPECT_EQ(logged, expected);
    EXPECT_EQ(read_file(dir_ / "dir/theirs"), "theirs");
    // The torn entry was cut off: what is appended now is read back.
    undo_record found;
    ASSERT_EQ(find_interrupted_record(folder_, found), record_state::planned);
    ASSERT_EQ(mark_committed(found), 0);
    EXPECT_EQ(find_interrupted_record(folder_, found), record_state::committed);
}

TEST_F(undo_test, reload_runs_right_after_restoring_its_entry) {
    write_file(dir_ / "unit", "old unit");
    undo_record record;
    ASSERT_EQ(open_undo_record(folder_, record), 0);
    ASSERT_EQ(note_change(record, change_kind::create_directory, dir_ / "unit.d", true), 0);
    ASSERT_EQ(mkdir((dir_ / "unit.d").c_str(), 0755), 0);
    ASSERT_EQ(note_change(record, change_kind::create_file, dir_ / "unit.d/override.conf"), 0);
    write_file(dir_ / "unit.d/override.conf", "[Service]\n");
    ASSERT_EQ(note_change(record, change_kind::rewrite, dir_ / "unit", true), 0);
    write_file(dir_ / "unit", "new unit");
    std::vector<std::string> seen;
    const auto reload = [&] {
        seen.push_back(read_file(dir_ / "unit") + (exists(dir_ / "unit.d") ? ", drop-in" : ""));
    };
    EXPECT_EQ(undo_changes(record, reload), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"old unit, drop-in", "old unit"}));
}

TEST_F(undo_test, rewrite_that_meets_a_full_disk_gets_the_kept_copy_renamed_back) {
    ASSERT_TRUE(testing::enter_private_mount_namespace());
    const std::string small = dir_ / "small";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    ASSERT_EQ(mount("none", small.c_str(), "tmpfs", 0, "size=256k"), 0);
    const std::string old(std::size_t{100} << 10, 'o');
    old_file(small + "/conf", old, 06755, getuid(), getgid());
    const auto before = state_of(small + "/conf");
    undo_record record;
    ASSERT_EQ(open_undo_record(small + "/lib/undo", record), 0);
    ASSERT_EQ(plan_kept_file(record, small + "/conf"), 0);
    ASSERT_EQ(note_change(record, change_kind::rewrite, small + "/conf"), 0);
    write_file(small + "/conf", "new");
    const int filler = open((small + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(4096, 'f');
    while (write(filler, block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    close(filler);

    EXPECT_EQ(undo_changes(record, nullptr), 0);
    auto after = state_of(small + "/conf");
    EXPECT_NE(after[""].entry.inode, before.at("").entry.inode) << "a new inode";
    after[""].entry.inode = before.at("").entry.inode;
    EXPECT_EQ(after, before);
    umount2(small.c_str(), MNT_DETACH);
}

// A run killed at some instant of its changes, each time a little later; and the same when what
// it noted after its plan never reached the disk (a power cut: it reads back as zeros).
TEST_F(undo_test, record_of_a_killed_run_is_found_and_undone_exactly) {
    testing::signals_allowed = true;
    for (const bool notes_lost : {false, true}) {
        for (const useconds_t delay : {0, 1000, 10000}) {
            SCOPED_TRACE("killed " + std::to_string(delay) + " us after the first change" +
                         (notes_lost ? ", notes lost" : ""));
            const scratch_dir root(dir_.path());
            for (int i = 0; i < 60; ++i) {
                write_file(root / std::to_string(i), "old " + std::to_string(i), 0640);
            }
            const auto before = state_of(root.path());
            int ready[2];
            ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
            const pid_t child = testing::fork_tied_child();
            if (child == 0) {
                undo_record record;
                bool planned = open_undo_record(folder_, record) == 0;
                for (int i = 0; i < 60; ++i) {
                    planned = planned && plan_kept_file(record, root / std::to_string(i)) == 0 &&
                              plan_absent(record, change_kind::create_file,
                                          root / ("new" + std::to_string(i))) == 0;
                }
                if (!planned || seal_undo_record(record) != 0) {
                    _exit(1);
                }
                const auto sealed = static_cast<off_t>(record.journal_end);
                for (int i = 0; i < 60; ++i) {
                    const std::string path = root / std::to_string(i);
                    const std::string created = root / ("new" + std::to_string(i));
                    if (note_change(record, change_kind::rewrite, path) != 0 ||
                        note_change(record, change_kind::create_file, created) != 0) {
                        _exit(1);
                    }
                    write_file(path, "new", 0644);
                    write_file(created, "new");
                    if (i == 0) {
                        (void)write(ready[1], &sealed, sizeof sealed);
                    }
                }
                pause();
                _exit(0);
            }
            close(ready[1]);
            off_t sealed = 0;
            ASSERT_EQ(read(ready[0], &sealed, sizeof sealed), sizeof sealed)
                << "the child's first change";
            close(ready[0]);
            usleep(delay);
            ASSERT_EQ(kill(child, SIGKILL), 0);
            ASSERT_EQ(waitpid(child, nullptr, 0), child);
            if (notes_lost) {
                const std::string journal = folder_ + "/journal";
                const off_t size = static_cast<off_t>(read_file(journal).size());
                ASSERT_EQ(truncate(journal.c_str(), sealed), 0);
                ASSERT_EQ(truncate(journal.c_str(), size + 4096), 0);
            }

            testing::journal.clear();
            EXPECT_EQ(recover_interrupted_update(folder_, nullptr).state, recovery::restored);
            EXPECT_EQ(testing::journal,
                      (std::vector<std::string>{"info Recovering an interrupted update", "flush",
                                                "info Rolled back the update"}))
                << "what it restored on disk before the record goes";
            EXPECT_EQ(state_of(root.path()), before);
            EXPECT_FALSE(exists(folder_));
        }
    }
}

// How a run that ended early had got on, and what its recovery keeps: the new release once it
// was committed, or started in the boot that recovers it (its page cache holds all it wrote).
TEST_F(undo_test, recovery_keeps_a_release_committed_or_started_in_the_same_boot) {
    struct row {
        std::vector<int (*)(undo_record&)> marks;
        const char* recovering_boot;
        recovery expected;
    };
    const std::vector<row> rows{
        {{}, "boot-1", recovery::restored},
        {{mark_restarted}, "boot-1", recovery::completed},
        {{mark_restarted}, "boot-2", recovery::restored},
        {{mark_restarted, mark_undoing}, "boot-1", recovery::restored},
        {{mark_restarted, mark_committed}, "boot-2", recovery::completed},
    };
    for (const row& ended : rows) {
        SCOPED_TRACE(std::to_string(ended.marks.size()) + " marks, recovered in " +
                     ended.recovering_boot);
        const scratch_dir root(dir_.path());
        write_file(root / "kestd", "old");
        platform::seams.boot_id = [] { return std::string("boot-1"); };
        {
            undo_record record;
            ASSERT_EQ(open_undo_record(folder_, record), 0);
            ASSERT_EQ(plan_kept_file(record, root / "kestd"), 0);
            ASSERT_EQ(plan_absent(record, change_kind::create_file, root / "new"), 0);
            ASSERT_EQ(seal_undo_record(record), 0);
            // The replacement of a busy file: its new file made beside it, under the name noted.
            ASSERT_EQ(note_change(record, change_kind::replace, root / "kestd"), 0);
            write_file(root / ".kestd.kest-update." + std::to_string(getpid()) + ".0", "half");
            rename_over(root / "kestd", root / "side");
            write_file(root / "new", "new");
            for (const auto mark : ended.marks) {
                ASSERT_EQ(mark(record), 0);
            }
        }
        platform::seams.boot_id = [&ended] { return std::string(ended.recovering_boot); };
        logged.clear();
        EXPECT_EQ(recover_interrupted_update(folder_, nullptr).state, ended.expected);
        const bool kept = ended.expected == recovery::completed;
        EXPECT_EQ(logged, (std::vector<testing::log_line>{
                              info("Recovering an interrupted update"),
                              info(kept ? "Completed the update" : "Rolled back the update")}));
        EXPECT_EQ(read_file(root / "kestd"), kept ? "new" : "old");
        EXPECT_EQ(exists(root / "new"), kept);
        EXPECT_EQ(testing::entry_names(root.path()).size(), kept ? 2U : 1U)
            << "no hidden file left";
        EXPECT_FALSE(exists(folder_));
    }
}

}  // namespace
}  // namespace kest
