#include "updater/run_update.h"
#include "updater/standard_descriptors.h"

int main(int argc, char* argv[]) {
    // A caller may start us with 0-2 closed; the log socket must not land on them, since the
    // detachment replaces them.
    kest::fill_standard_descriptors();
    return kest::run_update(argc, argv);
}
