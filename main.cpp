#include "main.h"

#include <QApplication>

int impulzMain(int argc, char** argv) {
    QApplication app(argc, argv);
    return 0;
}
