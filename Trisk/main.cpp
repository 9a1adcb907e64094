// Program entry of the three-axis updater.
#include "trisk_main.h"

int main(int argc, char* argv[]) {
    return trisk::triskMain(argc, argv);
}
