// Whether the host runs with systemd installed.
#pragma once

namespace kest {

// True when systemd is installed: "/usr/lib/systemd" or else "/lib/systemd" can be opened as a
// directory. Asked afresh at every call.
bool systemd_present();

// True when `primary` or else `fallback` opens as a directory; releases what it opens.
bool systemd_installed(const char* primary, const char* fallback);

}  // namespace kest
