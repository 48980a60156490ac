#include "trust/filetrust.h"

#include <QHash>
#include <QStringList>

namespace {

const uint rootUid = 0;
const uint stickyBit = 01000;
const uint othersWrite = 0022;

// Access rights of a directory (winnt.h), as far as the decision needs them.
const quint32 addFile = 0x2, addSubdirectory = 0x4, deleteChild = 0x40, deleteSelf = 0x10000,
              writeDac = 0x40000, writeOwner = 0x80000;
const quint32 genericAll = 0x10000000, genericWrite = 0x40000000;
const quint32 fileAllAccess = 0x1f01ff, fileGenericWrite = 0x120116;

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

// Rights as hexadecimal or decimal digits, or as two-letter codes.
quint32 rightsOf(const QString &text)
{
    bool numeric = false;
    quint32 mask = text.toUInt(&numeric, 0);
    if (!numeric) {
        static const QHash<QString, quint32> codes {{QStringLiteral("GA"), genericAll},
            {QStringLiteral("GW"), genericWrite}, {QStringLiteral("FA"), fileAllAccess},
            {QStringLiteral("FW"), fileGenericWrite}, {QStringLiteral("SD"), deleteSelf},
            {QStringLiteral("WD"), writeDac}, {QStringLiteral("WO"), writeOwner},
            {QStringLiteral("DC"), addFile}, {QStringLiteral("LC"), addSubdirectory},
            {QStringLiteral("DT"), deleteChild}};
        for (int i = 0; i + 1 < text.size(); i += 2)
            mask |= codes.value(text.mid(i, 2));
    }
    if (mask & genericAll)
        mask |= fileAllAccess;
    if (mask & genericWrite)
        mask |= fileGenericWrite;
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

// The first allow entry that gives someone untrusted a concerning right on
// the directory itself, as "SID: 0xMASK"; empty when there is none.
QString untrustedGrant(const QString &dacl, const QString &selfSid, quint32 rights)
{
    for (const QString &ace : dacl.section(QLatin1Char('('), 1).split(QLatin1Char('('))) {
        const QStringList fields = ace.section(QLatin1Char(')'), 0, 0).split(QLatin1Char(';'));
        if (fields.size() < 6 || !fields[0].endsWith(QLatin1Char('A')))
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

} // namespace

TrustVerdict unixTrust(uint ownerUid, uint mode, uint selfUid, Scope scope)
{
    if (ownerUid != rootUid && ownerUid != selfUid)
        return {
            Trust::Foreign, QStringLiteral("it belongs to another account (uid %1)").arg(ownerUid)};
    const bool shielded = scope == Scope::Replace && (mode & stickyBit);
    if ((mode & othersWrite) && !shielded)
        return {Trust::Loose,
            QStringLiteral("other accounts can change what it holds (mode %1)")
                .arg(mode & 07777, 4, 8, QLatin1Char('0'))};
    return {Trust::Own, QString()};
}

TrustVerdict windowsTrust(const QString &sddl, const QString &selfSid, Scope scope)
{
    const QHash<QChar, QString> parts = partsOf(sddl);
    const QString owner = parts.value(QLatin1Char('O'));
    if (owner.isEmpty() || !isTrustedSid(owner, selfSid))
        return {Trust::Foreign,
            QStringLiteral("it belongs to another account (%1)")
                .arg(owner.isEmpty() ? QStringLiteral("unknown") : owner)};
    const QString dacl = parts.value(QLatin1Char('D'), QStringLiteral("NO_ACCESS_CONTROL"));
    if (dacl.startsWith(QLatin1String("NO_ACCESS_CONTROL")))
        return {Trust::Loose, QStringLiteral("everyone can change what it holds (no DACL)")};
    const QString grant = untrustedGrant(dacl, selfSid, concerning(scope));
    if (!grant.isEmpty())
        return {Trust::Loose,
            QStringLiteral("other accounts can change what it holds (%1)").arg(grant)};
    return {Trust::Own, QString()};
}

QString protectedDacl(const QString &selfSid, bool usersRead)
{
    // Read and execute for Users: the installation step may run as one.
    return QStringLiteral("D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;%1)%2")
        .arg(selfSid, usersRead ? QStringLiteral("(A;OICI;0x1200a9;;;BU)") : QString());
}
