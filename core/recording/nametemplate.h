#pragma once

#include <QString>

class Clock;

// Expands an event-file name template: the name only, without folder and without ".csv".
//
// Placeholders are keywords between percent signs, matched exactly (letter case included):
//   %numl%  the line number, at least two digits        %date%  ddmmyy       %time%  HHmmss (24 h)
//   %nbit%  the bit number, plain decimal               %numco% sequenceNumber, at least five digits
// Only the first 255 characters of the template take part. An unknown or empty keyword ("%%") gives nothing; a
// lone percent sign is dropped and the text after it is kept, so "ab%cd" gives "abcd".
//
// The time and the date are taken from one reading of clock.
//
// Every %numco% inserts sequenceNumber and then, unless the settings dialog is showing (its preview must not use
// up numbers), adds 1; after that, whether or not it added, 99999 becomes 0. So numbers run 1 ... 99998, 0, 1 ...;
// a loaded 99999 is issued once, and a loaded number above it keeps growing, until the 32-bit maximum, which is
// followed by 0.
//
// The caller learns whether the number changed (and has to be stored) by comparing it before and after the call.
QString expandNameTemplate(const QString& templ, int lineNumber, int bit, qint32& sequenceNumber, bool dialogShowing,
                           const Clock& clock);
