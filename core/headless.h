#pragma once

// Runs the monitor core without windows: the same settings file, connection, watchdog and recorder, with the log
// lines on standard output. SIGTERM or SIGINT ends it the way the windowed program exits (the running number is
// stored, the link closed). "--settings FILE" names another settings file. Returns the exit code.
int runHeadless(int argc, char** argv);
