// Quenlo, the desktop firmware upgrader for the gimbal.
#include "upgrader/app/quenlo_main.h"

int main(int argc, char** argv) {
    return app::quenloMain(argc, argv);
}
