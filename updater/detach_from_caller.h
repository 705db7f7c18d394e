// Lets the caller go on while the update runs in the background.
#pragma once

namespace kest {

// Forks: the calling process exits with 0 at once (or with 1 when the fork fails), and only
// the child returns, as the leader of a new session, with a zero creation mask, `directory` as
// its working directory, /dev/null as its standard streams, every signal's disposition at its
// default, an empty signal mask, and every other inherited descriptor close-on-exec. When the
// new session or the change of directory fails, the child logs it at err and exits with 1.
void detach_from_caller(const char* directory);

}  // namespace kest
