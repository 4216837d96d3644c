#pragma once

#include "core/recording/clock.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>

// One recorded event is one file holding one line, "dd.MM.yy;hh:mm:ss" and CR LF: 19 bytes, the same on every
// platform, so archives move between machines unchanged.
QByteArray eventLine(const QDateTime& t);

struct EventWriteResult {
    bool ok = false;
    QString path;  // the file written, or on failure the path that was attempted
    QString error; // on failure the system's reason, e.g. "Permission denied"
};

struct EventWriteRequest {
    QString directory;
    QString name; // without the ".csv"
};

// Writes one event file at directory + separator + name + ".csv". The directory text is used unchanged, so one
// ending in a separator gives two. The time is read from clock once the file is being created.
//
// The file appears under its final name complete or not at all: the line goes to a file without a name in the
// same folder (O_TMPFILE; where the file system has none, a hidden temporary file), which is synced and then linked
// to its final name without ever replacing an existing file. When
// "<name>.csv" exists, the first free "<name>_2.csv", "<name>_3.csv", ... is taken instead, so no event is lost
// and an existing file is never opened or rewritten. When such a suffixed name would be longer than the folder
// allows, the name before the suffix is shortened (never inside a multi-byte character); "<name>.csv" itself is
// never shortened, so a name that is too long even without a suffix fails. On failure nothing is left behind.
//
// With durable set, the file and the folder are synced, so a recorded event survives a power loss; without it the
// write is left to the system's cache.
EventWriteResult writeEventFile(const QString& directory, const QString& name, bool durable = true,
                                const Clock& clock = *Clock::system());

// Writes the event files of a batch (one received chunk) with shared syncs: all temporary files first, each with
// its line from clock read as it is created; then the data of all of them is made durable together; then
// the publications in request order, each taking the first free name as writeEventFile does (so two requests of the
// same name get "<name>.csv" and "<name>_2.csv" in request order); then the folders are synced. Each file and each
// folder gets a sync of its own, all of them in flight together through io_uring, so the journal commits them as
// one and no other program's unsynced data is written on our time; where io_uring is refused they run one by one.
// The results come in request order. A request that fails costs only itself and leaves nothing behind; with durable
// set, no file is reported written before its data and its folder entry are on disk.
//
// whileDataSyncs, when given, runs once the lines are written and their data syncs are under way, and before any
// file of the batch takes its name: work that must be durable before the names appear (the running number's store)
// then shares the disk's flushes with the files' data instead of coming before them. It runs on this thread.
QList<EventWriteResult> writeEventFiles(const QList<EventWriteRequest>& batch, bool durable = true,
                                        const std::function<void()>& whileDataSyncs = {},
                                        const Clock& clock = *Clock::system());

// The caller's durable work that rides in a group's syncs.
struct EventGroupWork {
    // Runs once the lines are written and before their data syncs start, with the path each request's file is
    // expected to take (the first free name as the publication will find it, counting the earlier requests of the
    // batch; empty for a request that has already failed). Gives a descriptor of the caller's whose data is synced
    // in the same submission as the files', or -1. It is closed by the caller, not here.
    std::function<int(const QStringList& expected)> beforeDataSyncs;
    // As whileDataSyncs above.
    std::function<void()> whileDataSyncs;
    // The outcome of that descriptor's sync: 0, or the system's error.
    int syncError = 0;
};
QList<EventWriteResult> writeEventFiles(const QList<EventWriteRequest>& batch, bool durable, EventGroupWork& work,
                                        const Clock& clock);
