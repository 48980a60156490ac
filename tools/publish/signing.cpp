#include "signing.h"

#include "transfer/sodiumedge.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

// Key and signature files are a few lines: this is plenty.
QByteArray readSmall(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(64 * 1024) : QByteArray();
}

QByteArray blake2b512OfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    Blake2b512 hash;
    QByteArray chunk;
    while (!(chunk = file.read(256 * 1024)).isEmpty())
        hash.addData(chunk.constData(), chunk.size());
    return hash.result();
}

} // namespace

QString signatureSource(const QString &packagePath, const QString &explicitPath)
{
    if (!explicitPath.isEmpty())
        return explicitPath;
    const QString beside = packagePath + QStringLiteral(".minisig");
    return QFileInfo(beside).isFile() ? beside : QString();
}

QString signatureProblem(const QString &path, const QString &packageName)
{
    if (!QFileInfo(path).isFile())
        return QStringLiteral("signature %1 does not exist").arg(path);
    const auto signature = parseSignature(readSmall(path));
    if (!signature)
        return QStringLiteral("signature %1 is not a minisign signature").arg(path);
    if (signature->algorithm != "ED")
        return QStringLiteral("signature %1 uses the legacy algorithm, which updaters refuse: "
                              "sign with minisign 0.10 or later, without -l")
            .arg(path);
    const QString file = QString::fromUtf8(signedFileName(signature->trustedComment));
    if (file != packageName)
        return QStringLiteral("signature %1 names the file \"%2\", not %3: updaters would refuse "
                              "it; sign the package under the name it is published as")
            .arg(path, file, packageName);
    return QString();
}

SignatureCheck checkPackageSignature(
    const QString &packagePath, const QString &packageName, const MinisignKey &key)
{
    return verifySignatureFile(
        packagePath + QStringLiteral(".minisig"), blake2b512OfFile(packagePath), packageName, key);
}

QString signWithMinisign(const QString &secretKey, const QString &file, const QString &signature)
{
    QProcess minisign;
    // Its prompt and the password go through this terminal.
    minisign.setProcessChannelMode(QProcess::ForwardedChannels);
    minisign.setInputChannelMode(QProcess::ForwardedInputChannel);
    minisign.start(QStringLiteral("minisign"),
        {QStringLiteral("-S"), QStringLiteral("-s"), secretKey, QStringLiteral("-m"), file,
            QStringLiteral("-x"), signature});
    if (!minisign.waitForFinished(-1) || minisign.exitStatus() != QProcess::NormalExit)
        return QStringLiteral("cannot run minisign: %1").arg(minisign.errorString());
    if (minisign.exitCode() != 0)
        return QStringLiteral("minisign could not sign %1 with %2").arg(file, secretKey);
    return QString();
}

std::optional<MinisignKey> readPublicKey(const QString &path)
{
    return parsePublicKey(readSmall(path));
}
