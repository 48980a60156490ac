#include "trust/trustedpath.h"

#include <QDir>

#include <deque>

namespace {

const int mostLinks = 40; // as the kernel allows

// Where an absolute path starts: "/", "C:/" or "//server/share/".
QString rootOf(const QString &path)
{
    if (path.startsWith(QLatin1String("//"))) {
        const int share = path.indexOf(QLatin1Char('/'), 2);
        const int end = share < 0 ? -1 : path.indexOf(QLatin1Char('/'), share + 1);
        return end < 0 ? path + QLatin1Char('/') : path.left(end + 1);
    }
    if (path.size() >= 2 && path.at(1) == QLatin1Char(':'))
        return path.left(2) + QLatin1Char('/');
    return QStringLiteral("/");
}

bool isAbsolute(const QString &path)
{
    return path.startsWith(QLatin1Char('/'))
        || (path.size() >= 2 && path.at(1) == QLatin1Char(':'));
}

// Puts the names of `path` in front of those still to walk.
void prepend(std::deque<QString> &names, const QString &path)
{
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    names.insert(names.begin(), parts.begin(), parts.end());
}

// What an entry on the way must be; why not, or nothing.
QString problemWith(
    const FileEdge::Entry &entry, const QString &subject, Scope scope, bool asDirectory)
{
    const DirectoryFacts &facts = entry.facts;
    if (!facts.exists)
        return subject + QStringLiteral(" does not exist");
    if (asDirectory && facts.isDirectory && !entry.dir.isOpen())
        return subject + QStringLiteral(" cannot be opened");
    if (facts.isDirectory != asDirectory)
        return subject
            + (asDirectory ? QStringLiteral(" is not a directory")
                           : QStringLiteral(" is a directory"));
    const TrustVerdict verdict = FileEdge::verdictOn(facts, scope);
    return verdict.trust == Trust::Own ? QString() : verdict.reason(subject);
}

} // namespace

TrustedPath openTrusted(const QString &given, Scope scope, Last last)
{
    TrustedPath walk;
    const QString self = FileEdge::selfName();
    std::deque<QString> names;
    QString root = rootOf(QDir::fromNativeSeparators(given));
    prepend(names, QDir::fromNativeSeparators(given).mid(root.size()));
    int links = 0;
    bool fromRoot = true;
    for (;;) {
        if (fromRoot) {
            walk.held.clear();
            FileEdge::Entry top = FileEdge::openRoot(root);
            walk.refusal = problemWith(top, names.empty() ? QStringLiteral("it") : root,
                names.empty() ? scope : Scope::Replace, true);
            if (!walk.ok())
                return walk;
            walk.held.push_back(std::move(top.dir));
            fromRoot = false;
        }
        if (names.empty())
            break;
        const QString name = names.front();
        names.pop_front();
        if (name == QLatin1String("..") && walk.held.size() > 1)
            walk.held.pop_back();
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        const FileEdge::Directory &parent = walk.held.back();
        FileEdge::Entry entry = FileEdge::openEntry(parent, name);
        const QString subject = names.empty() ? QStringLiteral("it") : parent.pathOf(name);
        if (entry.facts.isLink) {
            // A link whose owner may retarget it would steer the walk.
            const QString target
                = trustedOwner(entry.facts, self) ? FileEdge::linkTarget(parent, name) : QString();
            if (target.isEmpty() || ++links > mostLinks) {
                walk.refusal = subject
                    + (trustedOwner(entry.facts, self)
                            ? QStringLiteral(" is a link that cannot be followed")
                            : QStringLiteral(" is a link that another account owns"));
                return walk;
            }
            // Its ".." are taken as the kernel takes them: from where the link leads.
            if (isAbsolute(target)) {
                root = rootOf(target);
                fromRoot = true;
            }
            prepend(names, target.mid(fromRoot ? root.size() : 0));
            continue;
        }
        const bool file = names.empty() && last == Last::File;
        walk.missing = !entry.facts.exists;
        walk.refusal = problemWith(entry, subject, names.empty() ? scope : Scope::Replace, !file);
        if (!walk.ok() || file)
            return walk;
        walk.held.push_back(std::move(entry.dir));
    }
    walk.dir = std::move(walk.held.back());
    walk.held.pop_back();
    return walk;
}

Claim claimDirectory(
    const FileEdge::Directory &parent, const QString &name, FileEdge::Access access)
{
    Claim claim;
    FileEdge::Entry entry = FileEdge::openEntry(parent, name);
    if (!entry.facts.exists && FileEdge::makeDirectory(parent, name, access))
        entry = FileEdge::openEntry(parent, name);
    if (entry.facts.isLink || !entry.dir.isOpen()) {
        claim.refusal = entry.facts.isLink ? QLatin1String(linkRefusal)
            : entry.facts.exists           ? QStringLiteral("it is not a directory")
                                           : QStringLiteral("it could not be made");
        return claim;
    }
    TrustVerdict verdict = FileEdge::verdictOn(entry.facts, Scope::Write);
    if (verdict.trust == Trust::Loose && FileEdge::lockDown(entry.dir, access)) {
        claim.lockedDown = verdict.reason();
        // Nothing that was there is trusted: whoever could change the
        // directory could have placed it.
        const QString self = FileEdge::selfName();
        FileEdge::removeEntries(entry.dir, [&](const QString &name, const DirectoryFacts &facts) {
            const bool doomed
                = facts.isLink || trustOf(facts, self, Scope::Write).trust != Trust::Own;
            if (doomed)
                claim.removed << name;
            return doomed;
        });
        verdict = FileEdge::verdictOn(FileEdge::factsOf(entry.dir), Scope::Write);
    }
    if (verdict.trust != Trust::Own)
        claim.refusal = verdict.reason();
    else
        claim.dir = std::move(entry.dir);
    return claim;
}
