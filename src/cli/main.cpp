#include "cli/tally_run.h"

int main(int argc, char* argv[]) {
    return mavek::tally_run(argc, argv);
}
