#include "update/osversion.h"

#include <QOperatingSystemVersion>

namespace {

enum class Mode { Exact, AtLeast, AtMost };

bool isUnconstrained(const QString &constraint)
{
    return constraint.isEmpty() || constraint == QLatin1String("any");
}

QString nameText(const QString &constraint)
{
    return constraint.trimmed().toLower();
}

Mode modeOf(const QString &name)
{
    if (name.endsWith(QLatin1Char('-')))
        return Mode::AtMost;
    if (name.endsWith(QLatin1Char('+')))
        return Mode::AtLeast;
    return Mode::Exact;
}

} // namespace

WindowsGeneration windowsGenerationOf(int major, int minor, int build)
{
    const int firstWindows11Build = 22000;
    if (major <= 0)
        return 5;
    if (major < 6 || (major == 6 && minor == 0))
        return 0;
    if (major == 6 && minor >= 1 && minor <= 3)
        return minor;
    if (major == 10 && minor == 0 && build < firstWindows11Build)
        return 4;
    return 5;
}

WindowsGeneration currentWindowsGeneration()
{
    // Qt reads the true version (RtlGetVersion): no compatibility manifest
    // is needed for Windows 10 and 11 to report themselves.
    const QOperatingSystemVersion os = QOperatingSystemVersion::current();
    if (os.type() != QOperatingSystemVersion::Windows)
        return 5;
    return windowsGenerationOf(os.majorVersion(), os.minorVersion(), os.microVersion());
}

QString osConstraintLogLine(const QString &constraint)
{
    if (isUnconstrained(constraint))
        return QString();
    const QString name = nameText(constraint);
    switch (modeOf(name)) {
    case Mode::AtLeast:
        return QStringLiteral("Checking if current OS is more recent or same as Windows-%1")
            .arg(name.left(name.size() - 1));
    case Mode::AtMost:
        return QStringLiteral("Checking if current OS is prior or same as Windows-%1")
            .arg(name.left(name.size() - 1));
    case Mode::Exact:
        break;
    }
    return QStringLiteral("Checking if current OS is same as Windows-%1").arg(name);
}

bool osConstraintAllows(const QString &constraint, WindowsGeneration generation)
{
    if (isUnconstrained(constraint))
        return true;
    QString name = nameText(constraint);
    const Mode mode = modeOf(name);
    if (mode != Mode::Exact)
        name.chop(1);
    static const QString names[]
        = {QStringLiteral("7"), QStringLiteral("8"), QStringLiteral("8.1"), QStringLiteral("10")};
    for (int i = 0; i < 4; ++i) {
        if (name != names[i])
            continue;
        const WindowsGeneration wanted = i + 1;
        switch (mode) {
        case Mode::AtLeast:
            return generation >= wanted;
        case Mode::AtMost:
            return generation <= wanted;
        case Mode::Exact:
            return generation == wanted;
        }
    }
    return false;
}

bool isOsCompatible(const QString &constraint, WindowsGeneration generation)
{
    const QString line = osConstraintLogLine(constraint);
    if (!line.isNull())
        qInfo("%s", qUtf8Printable(line));
    return osConstraintAllows(constraint, generation);
}

bool isOsCompatible(const QString &constraint)
{
    // The platform is asked only when there is a constraint to test.
    return isUnconstrained(constraint) || isOsCompatible(constraint, currentWindowsGeneration());
}
