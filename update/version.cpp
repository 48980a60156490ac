#include "update/version.h"

#include <QStringList>

int compareVersions(const QString &candidate, const QString &current)
{
    qInfo("Checking if version %s is more recent than %s", qUtf8Printable(candidate),
        qUtf8Printable(current));
    if (candidate == current)
        return 0;
    const QStringList a = candidate.split(QLatin1Char('.'));
    const QStringList b = current.split(QLatin1Char('.'));
    const QString wildcard = QStringLiteral("x");
    int i = 0;
    for (; i < a.size() && i < b.size(); ++i) {
        bool aNumeric = false;
        bool bNumeric = false;
        const int av = a[i].toInt(&aNumeric, 10);
        const int bv = b[i].toInt(&bNumeric, 10);
        if (!aNumeric) {
            if (a[i] == wildcard)
                return 1;
        } else if (!bNumeric && b[i] == wildcard) {
            return -1;
        }
        if (av < bv)
            return -1;
        if (av > bv)
            return 1;
    }
    if (i < b.size())
        return 1;
    if (i < a.size())
        return -1;
    return 0;
}
