#ifndef VERSION_H
#define VERSION_H

#include <QString>

// 1 when candidate is more recent than current, 0 when they count as equal,
// -1 when it is older. Logs one line; reads no other state.
int compareVersions(const QString &candidate, const QString &current);

#endif // VERSION_H
