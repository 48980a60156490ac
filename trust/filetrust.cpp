#include "trust/filetrust.h"

#include <QHash>
#include <QStringList>

#include <optional>

namespace {

const uint rootUid = 0;
const uint stickyBit = 01000;
const uint othersWrite = 0022;

// Access rights (winnt.h), as far as the decision needs them.
const quint32 addFile = 0x2, addSubdirectory = 0x4, deleteChild = 0x40, deleteSelf = 0x10000,
              writeDac = 0x40000, writeOwner = 0x80000;
const quint32 genericAll = 0x10000000, genericExecute = 0x20000000, genericWrite = 0x40000000,
              genericRead = 0x80000000;
const quint32 fileAll = 0x1f01ff, fileRead = 0x120089, fileWrite = 0x120116, fileExecute = 0x1200a0;
const quint32 everyRight = 0xffffffff;

quint32 concerning(Scope scope)
{
    // Deleting a directory is also renaming it away, to put another in its place.
    const quint32 replace = deleteChild | deleteSelf | writeDac | writeOwner;
    return scope == Scope::Replace ? replace : replace | addFile | addSubdirectory;
}

// The SIDs the system writes as two letters, for those the decision meets.
QString fullSid(const QString &sid)
{
    static const QHash<QString, QString> aliases {
        {QStringLiteral("SY"), QStringLiteral("S-1-5-18")},
        {QStringLiteral("BA"), QStringLiteral("S-1-5-32-544")},
        {QStringLiteral("BU"), QStringLiteral("S-1-5-32-545")},
        {QStringLiteral("WD"), QStringLiteral("S-1-1-0")},
        {QStringLiteral("AU"), QStringLiteral("S-1-5-11")},
        {QStringLiteral("CO"), QStringLiteral("S-1-3-0")},
        {QStringLiteral("OW"), QStringLiteral("S-1-3-4")}};
    return aliases.value(sid, sid);
}

bool isTrustedSid(const QString &sid, const QString &selfSid)
{
    static const QStringList trusted {QStringLiteral("S-1-5-18"), QStringLiteral("S-1-5-32-544"),
        QStringLiteral("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464")};
    const QString full = fullSid(sid);
    return trusted.contains(full) || full == fullSid(selfSid);
}

// Every two-letter code of rights the system writes, with its mask: one it
// may write that is missing here would otherwise count as no right at all.
quint32 codeRights(const QString &code)
{
    static const QHash<QString, quint32> codes {{QStringLiteral("GA"), genericAll},
        {QStringLiteral("GR"), genericRead}, {QStringLiteral("GW"), genericWrite},
        {QStringLiteral("GX"), genericExecute}, {QStringLiteral("FA"), fileAll},
        {QStringLiteral("FR"), fileRead}, {QStringLiteral("FW"), fileWrite},
        {QStringLiteral("FX"), fileExecute}, {QStringLiteral("KA"), 0xf003f},
        {QStringLiteral("KR"), 0x20019}, {QStringLiteral("KW"), 0x20006},
        {QStringLiteral("KX"), 0x20019}, {QStringLiteral("RC"), 0x20000},
        {QStringLiteral("SD"), deleteSelf}, {QStringLiteral("WD"), writeDac},
        {QStringLiteral("WO"), writeOwner}, {QStringLiteral("CC"), 0x1},
        {QStringLiteral("DC"), addFile}, {QStringLiteral("LC"), addSubdirectory},
        {QStringLiteral("SW"), 0x8}, {QStringLiteral("RP"), 0x10}, {QStringLiteral("WP"), 0x20},
        {QStringLiteral("DT"), deleteChild}, {QStringLiteral("LO"), 0x80},
        {QStringLiteral("CR"), 0x100}};
    return codes.value(code, everyRight);
}

// Rights as hexadecimal or decimal digits, or as two-letter codes; what
// cannot be read counts as every right.
quint32 rightsOf(const QString &text)
{
    bool numeric = false;
    quint32 mask = text.toUInt(&numeric, 0);
    if (!numeric) {
        if (text.size() % 2)
            return everyRight;
        for (int i = 0; i < text.size(); i += 2)
            mask |= codeRights(text.mid(i, 2));
    }
    const quint32 generic[][2] = {{genericAll, fileAll}, {genericWrite, fileWrite},
        {genericRead, fileRead}, {genericExecute, fileExecute}};
    for (const auto &pair : generic)
        mask |= (mask & pair[0]) ? pair[1] : 0;
    return mask;
}

// The parts of an SDDL text by their letter: "O:", "G:", "D:", "S:".
QHash<QChar, QString> partsOf(const QString &sddl)
{
    QHash<QChar, QString> parts;
    int depth = 0, start = -1;
    QChar key;
    for (int i = 0; i <= sddl.size(); ++i) {
        const bool end = i == sddl.size();
        const QChar c = end ? QChar() : sddl.at(i);
        depth += c == QLatin1Char('(') ? 1 : c == QLatin1Char(')') ? -1 : 0;
        const bool next = !end && depth == 0 && i + 1 < sddl.size()
            && sddl.at(i + 1) == QLatin1Char(':') && QStringLiteral("OGDS").contains(c);
        if (next || end) {
            if (start >= 0)
                parts.insert(key, sddl.mid(start, i - start));
            if (next)
                key = c, start = i + 2, ++i;
        }
    }
    return parts;
}

// The entries of a DACL, each without its outer parentheses; a condition
// may nest more of them. Nothing when the text does not parse.
std::optional<QStringList> entriesOf(const QString &dacl)
{
    QStringList entries;
    int depth = 0, start = 0;
    for (int i = dacl.indexOf(QLatin1Char('(')); i >= 0 && i < dacl.size(); ++i) {
        const QChar c = dacl.at(i);
        if (c == QLatin1Char('(') && depth++ == 0)
            start = i + 1;
        else if (c == QLatin1Char(')') && --depth == 0)
            entries << dacl.mid(start, i - start);
        else if (depth <= 0)
            return std::nullopt; // text between or after the entries
    }
    if (depth != 0)
        return std::nullopt;
    return entries;
}

// The first entry that gives someone untrusted a concerning right on the
// entry itself, as "SID: 0xMASK"; empty when there is none. Only deny
// entries are passed over: an entry of a kind not known here counts.
QString untrustedGrant(const QString &dacl, const QString &selfSid, quint32 rights)
{
    const std::optional<QStringList> entries = entriesOf(dacl);
    if (!entries)
        return QStringLiteral("a DACL that cannot be read");
    for (const QString &ace : *entries) {
        const QStringList fields = ace.split(QLatin1Char(';'));
        if (fields.size() < 6)
            return QStringLiteral("an entry that cannot be read");
        if (fields[0] == QLatin1String("D") || fields[0] == QLatin1String("OD")
            || fields[0] == QLatin1String("XD"))
            continue;
        bool inheritOnly = false;
        for (int i = 0; i + 1 < fields[1].size(); i += 2)
            inheritOnly = inheritOnly || fields[1].mid(i, 2) == QLatin1String("IO");
        // CREATOR OWNER and OWNER RIGHTS stand for the owner, checked apart.
        const QString sid = fullSid(fields[5]);
        if (inheritOnly || sid == QLatin1String("S-1-3-0") || sid == QLatin1String("S-1-3-4")
            || isTrustedSid(sid, selfSid))
            continue;
        const quint32 granted = rightsOf(fields[2]) & rights;
        if (granted)
            return QStringLiteral("%1: 0x%2").arg(fields[5]).arg(granted, 0, 16);
    }
    return QString();
}

TrustVerdict loose(const QString &detail)
{
    return {Trust::Loose,
        QStringLiteral("other accounts can change what %1 holds (") + detail + QLatin1Char(')')};
}

} // namespace

TrustVerdict unixTrust(uint ownerUid, uint mode, uint selfUid, Scope scope)
{
    if (ownerUid != rootUid && ownerUid != selfUid)
        return {Trust::Foreign,
            QStringLiteral("%1 belongs to another account (uid ") + QString::number(ownerUid)
                + QLatin1Char(')')};
    const bool shielded = scope == Scope::Replace && (mode & stickyBit);
    if ((mode & othersWrite) && !shielded)
        return loose(QStringLiteral("mode %1").arg(mode & 07777, 4, 8, QLatin1Char('0')));
    return {Trust::Own, QString()};
}

TrustVerdict windowsTrust(const QString &sddl, const QString &selfSid, Scope scope)
{
    const QHash<QChar, QString> parts = partsOf(sddl);
    const QString owner = parts.value(QLatin1Char('O'));
    if (owner.isEmpty() || !isTrustedSid(owner, selfSid))
        return {Trust::Foreign,
            QStringLiteral("%1 belongs to another account (")
                + (owner.isEmpty() ? QStringLiteral("unknown") : owner) + QLatin1Char(')')};
    const QString dacl = parts.value(QLatin1Char('D'), QStringLiteral("NO_ACCESS_CONTROL"));
    if (dacl.startsWith(QLatin1String("NO_ACCESS_CONTROL")))
        return {Trust::Loose, QStringLiteral("everyone can change what %1 holds (no DACL)")};
    const QString grant = untrustedGrant(dacl, selfSid, concerning(scope));
    if (!grant.isEmpty())
        return loose(grant);
    return {Trust::Own, QString()};
}

bool trustedOwner(const DirectoryFacts &facts, const QString &self)
{
#if defined(Q_OS_WIN)
    const QString owner = partsOf(facts.sddl).value(QLatin1Char('O'));
    return !owner.isEmpty() && isTrustedSid(owner, self);
#else
    return facts.ownerUid == rootUid || QString::number(facts.ownerUid) == self;
#endif
}

TrustVerdict trustOf(const DirectoryFacts &facts, const QString &self, Scope scope)
{
#if defined(Q_OS_WIN)
    return windowsTrust(facts.sddl, self, scope);
#else
    return unixTrust(facts.ownerUid, facts.mode, self.toUInt(), scope);
#endif
}

QString protectedDacl(const QString &selfSid, bool usersRead)
{
    // Read and execute for Users: the installation step may run as one.
    return QStringLiteral("D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;%1)%2")
        .arg(selfSid, usersRead ? QStringLiteral("(A;OICI;0x1200a9;;;BU)") : QString());
}
