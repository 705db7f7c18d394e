// kest-update --check: whether a run would refuse the staged update, and what it would change.
#pragma once

#include "base/update_paths.h"

namespace kest {

// Makes the checks of a run on `paths`, in its order and with its code: enters the staging root
// and checks it, takes the update lock without waiting (released at the end), then checks the
// staged tree, where it goes, the undo record's folder and the agent's drop-in, systemd asked
// once. Writes nothing but the lock file a run makes when it is missing, stops nothing, detaches
// not, recovers no earlier record, logs nothing (not even the start-up line): the line a run
// would log is caught instead. Prints one JSON object on one line to standard output:
//   {"outcome":"ready","message":"","rewrite":N,"create_files":N,"create_folders":N,"bytes":N}
// or "outcome":"refused" with the refusal line as "message" (escaped as json_text does) and the
// counts as far as the checks got. rewrite: existing files the copy would rewrite in place or
// replace; create_files, create_folders: what it would create; bytes: the staged files' sizes
// it would write. Returns 0 when ready; 1 when refused, or when the answer cannot be written.
int check_update(const update_paths& paths);

}  // namespace kest
