#include "core/host/headless.h"

int main(int argc, char** argv) {
    return runHeadless(argc, argv);
}
