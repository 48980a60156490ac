#ifndef OSVERSION_H
#define OSVERSION_H

#include <QString>

// Orders the Windows versions the platform can report: 0 for Vista and
// earlier, 1 for 7, 2 for 8, 3 for 8.1, 4 for 10, 5 for anything else,
// Windows 11 included.
using WindowsGeneration = int;

// Maps a Windows version number (as the system reports it: 11 is 10.0 from
// build 22000 on) to its generation; a major of 0 or less means none.
WindowsGeneration windowsGenerationOf(int major, int minor, int build);

// The generation of the running system; 5 where no Windows version exists.
WindowsGeneration currentWindowsGeneration();

// The line a check of this constraint logs; null for "any" and the empty text.
QString osConstraintLogLine(const QString &constraint);

// Whether a system of the given generation satisfies the constraint.
bool osConstraintAllows(const QString &constraint, WindowsGeneration generation);

// Logs the check line and decides for the given generation.
bool isOsCompatible(const QString &constraint, WindowsGeneration generation);

// The same for the running system.
bool isOsCompatible(const QString &constraint);

#endif // OSVERSION_H
