#include "rollback/record_journal.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "base/platform.h"
#include "base/retry_on_eintr.h"

namespace kest {
namespace {

constexpr std::uint32_t entry_magic = 0x4b555231;  // "KUR1"

// Entries of records made by earlier versions have zero where `maker` and `attributes_length` are.
constexpr auto last_type = entry_type::committed;
// Beyond any file's extended attributes (at most 64 KiB of names, each value at most 64 KiB).
constexpr std::uint32_t attributes_limit = std::uint32_t{4} << 20;

// The fixed part of an entry as it lies on disk, the path and the attributes following it. Read
// back only by the host that wrote it, so in its own byte order.
struct raw_header {
    std::uint32_t magic;
    std::uint32_t checksum;  // of everything after this field, the path included
    std::uint8_t type;
    std::uint8_t kind;
    std::uint8_t reload_after;
    std::uint8_t maker;
    std::uint32_t path_length;
    std::uint32_t kept;
    std::uint32_t attributes_length;  // the attributes follow the path
    std::uint64_t kept_inode;
    std::uint64_t reference;
    file_stamp stamp;
};
static_assert(sizeof(raw_header) == 96 && sizeof(file_stamp) == 56);

constexpr std::size_t checked_from = offsetof(raw_header, type);

// FNV-1a: enough to tell a torn or stale entry from a whole one.
std::uint32_t checksum(const char* bytes, std::size_t count, std::uint32_t hash = 2166136261U) {
    for (std::size_t i = 0; i < count; ++i) {
        hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 16777619U;
    }
    return hash;
}

std::uint32_t checksum_of(const raw_header& header, const std::string& path,
                          const std::string& attributes) {
    const std::uint32_t fixed = checksum(reinterpret_cast<const char*>(&header) + checked_from,
                                         sizeof header - checked_from);
    return checksum(attributes.data(), attributes.size(),
                    checksum(path.data(), path.size(), fixed));
}

bool full_read(int fd, void* into, std::size_t count, std::uint64_t offset) {
    const ssize_t got =
        retry_on_eintr([&] { return pread(fd, into, count, static_cast<off_t>(offset)); });
    return got == static_cast<ssize_t>(count);
}

}  // namespace

file_stamp stamp_of(const struct stat& status) {
    return {
        status.st_dev,         status.st_ino,          static_cast<std::uint64_t>(status.st_size),
        status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_ctim.tv_sec,
        status.st_ctim.tv_nsec};
}

const char* hidden_tag(hidden_maker maker) {
    return maker == hidden_maker::copy ? "kest-update" : "kest-undo";
}

std::string kept_name(std::uint32_t number) {
    return std::to_string(number);
}

int append_entry(undo_record& record, const journal_entry& entry) {
    if (record.broken) {
        return EIO;
    }
    raw_header header{};
    header.magic = entry_magic;
    header.type = static_cast<std::uint8_t>(entry.type);
    header.kind = static_cast<std::uint8_t>(entry.kind);
    header.reload_after = entry.reload_after ? 1 : 0;
    header.maker = static_cast<std::uint8_t>(entry.maker);
    header.path_length = static_cast<std::uint32_t>(entry.path.size());
    header.attributes_length = static_cast<std::uint32_t>(entry.attributes.size());
    header.kept = entry.kept;
    header.kept_inode = entry.kept_inode;
    header.reference = entry.reference;
    header.stamp = entry.stamp;
    if (entry.path.size() > PATH_MAX || entry.attributes.size() > attributes_limit) {
        return E2BIG;
    }
    header.checksum = checksum_of(header, entry.path, entry.attributes);
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes += entry.path;
    bytes += entry.attributes;
    // One write: a process killed at any instant leaves the whole entry or none of it in the
    // page cache, which the kernel keeps (a part of it at most when the disk fills up).
    const ssize_t written =
        retry_on_eintr([&] { return write(record.journal.get(), bytes.data(), bytes.size()); });
    if (written == static_cast<ssize_t>(bytes.size())) {
        record.journal_end += bytes.size();
        return 0;
    }
    const int error = written < 0 ? errno : ENOSPC;
    // Entries appended after a torn one could never be read back.
    if (written > 0 &&
        ftruncate(record.journal.get(), static_cast<off_t>(record.journal_end)) != 0) {
        record.broken = true;
    }
    return error;
}

int flush_journal(undo_record& record) {
    return platform::seams.flush_file(record.journal.get()) == 0 ? 0 : errno;
}

std::uint64_t read_entry(int journal, std::uint64_t offset, journal_entry& entry) {
    raw_header header{};
    if (!full_read(journal, &header, sizeof header, offset) || header.magic != entry_magic ||
        header.path_length > PATH_MAX || header.attributes_length > attributes_limit ||
        header.type < 1 || header.type > static_cast<std::uint8_t>(last_type) ||
        header.kind > static_cast<std::uint8_t>(change_kind::create_directory) ||
        header.maker > static_cast<std::uint8_t>(hidden_maker::undo)) {
        return 0;
    }
    entry.path.resize(header.path_length);
    entry.attributes.resize(header.attributes_length);
    if (!full_read(journal, entry.path.data(), entry.path.size(), offset + sizeof header) ||
        !full_read(journal, entry.attributes.data(), entry.attributes.size(),
                   offset + sizeof header + header.path_length) ||
        checksum_of(header, entry.path, entry.attributes) != header.checksum) {
        return 0;
    }
    entry.type = static_cast<entry_type>(header.type);
    entry.kind = static_cast<change_kind>(header.kind);
    entry.reload_after = header.reload_after != 0;
    entry.maker = static_cast<hidden_maker>(header.maker);
    entry.kept = header.kept;
    entry.kept_inode = header.kept_inode;
    entry.reference = header.reference;
    entry.stamp = header.stamp;
    return offset + sizeof header + header.path_length + header.attributes_length;
}

std::uint64_t read_journal(int journal,
                           const std::function<void(std::uint64_t, const journal_entry&)>& visit) {
    std::uint64_t offset = 0;
    journal_entry entry;
    for (std::uint64_t next = 0; (next = read_entry(journal, offset, entry)) != 0; offset = next) {
        visit(offset, entry);
    }
    return offset;
}

}  // namespace kest
