#include "main.h"

int main(int argc, char** argv) {
    return impulzMain(argc, argv);
}
