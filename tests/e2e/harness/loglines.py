"""Log lines as the suite compares them, whatever recorded them
(systemd's journal or the suite's own /dev/log listener)."""

import re
from typing import NamedTuple

INFO = 6
WARNING = 4
ERR = 3
DAEMON = 3
UPDATER_IDENT = "kest-update"


class LogLine(NamedTuple):
    priority: int
    facility: int
    ident: str
    message: str


def from_journal_entry(entry):
    """A LogLine from one record of `journalctl -o json`."""
    return LogLine(
        priority=int(entry["PRIORITY"]),
        facility=int(entry.get("SYSLOG_FACILITY", -1)),
        ident=entry.get("SYSLOG_IDENTIFIER", ""),
        message=entry["MESSAGE"],
    )


# glibc's format on /dev/log: "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT", where
# [PID] appears only when the program asked for it (LOG_PID).
_SYSLOG_DATAGRAM = re.compile(
    r"<(?P<pri>\d+)>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d (?P<ident>[^:\[ ]*)(?P<pid>\[\d+\])?: (?P<text>.*)",
    re.DOTALL,
)


def from_syslog_datagram(data):
    """A LogLine from one raw /dev/log datagram, or None if it is not one."""
    match = _SYSLOG_DATAGRAM.fullmatch(data.decode("utf-8", "replace").rstrip("\n"))
    if not match:
        return None
    pri = int(match["pri"])
    return LogLine(pri & 7, pri >> 3, match["ident"], match["text"])


def format_lines(lines):
    """Readable listing for assertion messages."""
    names = {INFO: "info", WARNING: "warning", ERR: "err"}
    return "\n".join(f"  {names.get(l.priority, l.priority)}: {l.message}" for l in lines)
