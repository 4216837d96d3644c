#pragma once

#include <QString>

// Creates folder and every missing folder above it with mode 0700, so what the program keeps for its user (settings,
// state copy, outbox, cursor, index) is readable by nobody else. Folders that exist keep their mode. False when
// the folder is not there afterwards.
bool makePrivateFolder(const QString& folder);
