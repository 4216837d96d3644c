#pragma once

#include "core/host/coreconfig.h"

#include <QString>

// Runs the recorder without windows: the same settings file, connection, watchdog and recorder, with the log
// lines on standard output, and its state served to windows that attach to it. SIGTERM or SIGINT ends it the way
// the windowed program exits (the running number is stored, the link closed). "--settings FILE" names another
// settings file; "--wait" waits for a recorder that holds the same settings file to end instead of refusing to
// start (the service uses it, so a window that records at log-on never sends it into a restart loop). Returns
// the exit code. config: the recorder's timings and clock.
int runHeadless(int argc, char** argv, const CoreConfig& config = CoreConfig());

// A log line as the journal shows it: one line, with every control character the controller may have sent
// written out (\n, \r, \t, \x1b), so no text of the controller can pass for a line of the recorder's own.
QString printableLogLine(const QString& line);

// The line the log shows once at start when the settings name no controller address: without one every attempt
// ends in "Socket error: 10057" and nothing else would say why.
QString noControllerAddressText(const QString& settingsPath);
