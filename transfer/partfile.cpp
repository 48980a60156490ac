#include "transfer/partfile.h"

#include "trust/fileedge.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFile>

namespace {

const char magic[] = "corvane-part 1";
// A state is a few hundred bytes; nothing larger is read.
const qint64 mostState = 4096;

} // namespace

QString partName(
    const QString &destPath, const QString &md5, qint64 size, const QByteArray &signature)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(destPath.toUtf8() + '\n' + md5.toUtf8() + '\n' + QByteArray::number(size) + '\n');
    hash.addData(signature);
    return QStringLiteral(".updater-%1.part").arg(QString::fromLatin1(hash.result().toHex().left(32)));
}

QString stateName(const QString &partName)
{
    return partName.chopped(5) + QStringLiteral(".state");
}

QByteArray encodeState(const PartState &state)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_9);
    out << QByteArray(magic) << state.offset << state.validator << state.md5 << state.blake2b;
    return bytes;
}

std::optional<PartState> decodeState(const QByteArray &bytes)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_5_9);
    QByteArray tag;
    PartState state;
    in >> tag >> state.offset >> state.validator >> state.md5 >> state.blake2b;
    if (in.status() != QDataStream::Ok || !in.atEnd() || tag != magic || state.offset < 0)
        return std::nullopt;
    return state;
}

std::optional<PartState> readState(const QString &dir, const QString &part)
{
    QFile file;
    if (!FileEdge::openOwnFile(file, dir + QLatin1Char('/') + stateName(part), QIODevice::ReadOnly)
        || file.size() > mostState)
        return std::nullopt;
    return decodeState(file.read(mostState));
}

void writeState(const QString &dir, const QString &part, const PartState &state)
{
    const QString path = dir + QLatin1Char('/') + stateName(part);
    const QString next = path + QStringLiteral(".new");
    FileEdge::removeFile(next);
    QFile file;
    if (!FileEdge::createFile(file, next, QIODevice::WriteOnly, FileEdge::Access::Private))
        return;
    const QByteArray bytes = encodeState(state);
    const bool written = file.write(bytes) == bytes.size();
    file.close();
    if (!written || !FileEdge::renameFile(next, path))
        FileEdge::removeFile(next);
}

void removeParts(const QString &dir, const QString &keep)
{
    const QStringList names = QDir(dir).entryList(
        {QStringLiteral(".updater-*.part"), QStringLiteral(".updater-*.state*")},
        QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        if (keep.isEmpty() || !name.startsWith(keep.chopped(5)))
            FileEdge::removeFile(dir + QLatin1Char('/') + name);
    }
}
