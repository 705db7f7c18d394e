// Keeps descriptors 0, 1 and 2 from being taken by other files.
#pragma once

namespace kest {

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that no file or socket
// opened later lands on them. Leaves them closed if /dev/null cannot be opened.
void fill_standard_descriptors();

// Replaces descriptors 0, 1 and 2 with /dev/null (0 for reading, 1 and 2 for writing); where
// /dev/null cannot be opened, those descriptors stay closed.
void point_standard_descriptors_at_null();

}  // namespace kest
