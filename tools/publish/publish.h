#ifndef PUBLISH_PUBLISH_H
#define PUBLISH_PUBLISH_H

#include <QByteArray>
#include <QDateTime>
#include <QString>

struct PublishRequest {
    QString packagePath;
    QString version;
    QString constraint; // empty: no constraint, written as "any"
    QString kind;
    QString root;
    QString name; // empty: the package's own file name
    QString currentVersion;
    QString signaturePath; // empty: PACKAGE.minisig, when it exists
    QString secretKey; // minisign secret key: sign the package and the manifest with it
    QString expires; // "30d", "12h": the manifest is valid that long; empty: for ever
};

struct PublishResult {
    enum class Status { Published, Refused, Failed };
    Status status = Status::Refused;
    QString message; // why, when not published
    QString packageName;
    QString packageTarget; // <root>/<kind>/<package name>
    QString manifestPath; // <root>/<kind>/updates.json
    QString signatureTarget; // <root>/<kind>/<package name>.minisig, if one was published
    QString manifestSignatureTarget; // <root>/<kind>/updates.json.minisig, if signed
    QString md5;
    qint64 size = 0;
};

// The manifest text publish writes: keys sorted, indented, lower-case md5,
// os "windows", every value a JSON string, the kind it is published for and,
// when given, its expiry.
QByteArray manifestText(const QString &md5, const QString &version, const QString &constraint,
    const QString &packageName, const QString &kind, const QString &expires = QString());

// The expiry `duration` ("30d", "12h") after `now`, as a manifest writes it;
// empty when the duration cannot be read.
QString expiryText(const QString &duration, const QDateTime &now);

// Why `duration` cannot give an expiry; empty when it can, or is empty.
QString expiryProblem(const QString &duration);

// Why `kind` cannot be a kind's directory; empty when it can.
QString kindProblem(const QString &kind);

// Writes through a temporary file renamed into place, so that a reader sees
// the old file or the new one, never a part.
bool writeAtomically(const QByteArray &text, const QString &path);
// The same for a copy of `source`, whose MD5 and size it gives when asked.
bool copyAtomically(
    const QString &source, const QString &target, QString *md5 = nullptr, qint64 *size = nullptr);

// The lower-case hex MD5 of a file; empty when it cannot be read.
QString md5OfFile(const QString &path);

// Writes a manifest; with a secret key it signs it first and puts the
// signature in place just before it. Empty when it worked, else why not.
QString writeManifest(const QByteArray &text, const QString &path, const QString &secretKey);

// Why the request cannot be published; empty when it can.
QString publishRefusal(const PublishRequest &request);

// Copies the package and its signature, if any, into <root>/<kind>/ and then
// writes the manifest there, each through a temporary file renamed into
// place, so that an updater polling the repository never reads a manifest
// whose package or signature is missing.
PublishResult publish(const PublishRequest &request);

#endif // PUBLISH_PUBLISH_H
