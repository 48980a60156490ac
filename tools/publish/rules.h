#ifndef PUBLISH_RULES_H
#define PUBLISH_RULES_H

#include "update/osversion.h"

#include <QString>

// The rules a manifest must follow to do what its publisher means. publish
// refuses input that breaks them; check reports manifests that break them.
// Each returns an empty text when the value is fine, else why it is not.

// The version this build of the updater reports, and so compares against.
QString builtUpdaterVersion();

// A package name must be a bare file name that the updater stores in its
// available directory and then sees as a pending package.
QString packageNameProblem(const QString &name);

// Whether the updater lets at least one Windows generation through.
bool constraintAllowsSomeWindows(const QString &constraint);

// A constraint must let at least one Windows version through, and must be
// written as the updater expects it (no surrounding spaces).
QString constraintProblem(const QString &constraint);

// A version must be one that an updater of `currentVersion` takes as newer.
QString versionProblem(const QString &version, const QString &currentVersion);

// A digest must be 32 lower-case hexadecimal digits.
QString md5Problem(const QString &md5);

// Maps "vista", "7", "8", "8.1", "10", "11" or "other" (any case) to the
// generation the updater computes on that system; -1 for anything else.
WindowsGeneration generationOfName(const QString &name);

// "Windows 10" for generation 4, and so on.
QString generationLabel(WindowsGeneration generation);

#endif // PUBLISH_RULES_H
