#ifndef EVENTLOG_H
#define EVENTLOG_H

#include <QString>

// Windows' Application log, under the source "Corvane Software Updater":
// what a management tool must hear of even when no status can be written.
// Elsewhere nothing is reported.
namespace EventLog {

// Fixed event IDs, the message IDs of report/messages.mc; docs/operating.md
// lists them for those who forward or filter them.
enum class Event : unsigned {
    Downloaded = 1001, // Information: a package was stored
    Failed = 1002, // Error: the check failed
    Refused = 1003, // Error: the local path or tree was refused
};

// Reports `text` as the event's one insertion string. The source is
// registered first when it is missing and the account may do so (an
// administrator or SYSTEM); any other account reports all the same.
void report(Event event, const QString &text);

} // namespace EventLog

#endif // EVENTLOG_H
