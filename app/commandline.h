#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <QUrl>

// The updater's options on a parser of their own, so that parsing and the
// checks of the locations can be exercised without running anything.
class CommandLine {
public:
    CommandLine();

    bool parse(const QStringList &arguments) { return parser_.parse(arguments); }
    QString errorText() const { return parser_.errorText(); }

    bool shutdown() const { return parser_.isSet(shutdown_); }
    bool help() const { return parser_.isSet(QStringLiteral("help")); }
    bool version() const { return parser_.isSet(QStringLiteral("version")); }
    bool hasLocalPath() const { return parser_.isSet(localPath_); }
    bool hasRemotePath() const { return parser_.isSet(remotePath_); }
    QString localPath() const { return parser_.value(localPath_); }
    QString remotePath() const { return parser_.value(remotePath_); }

    // The --appKind value, or "pc" when no kind is given.
    QString kind() const;
    // "/<kind>/".
    QString kindSegment() const { return QStringLiteral("/%1/").arg(kind()); }

    // The parser's texts, for the caller to print: the parser's own printing
    // opens a message box in a Windows program without a console.
    QString helpText() const { return parser_.helpText(); }
    static QString versionText();

private:
    QCommandLineParser parser_;
    QCommandLineOption localPath_;
    QCommandLineOption remotePath_;
    QCommandLineOption appKind_;
    QCommandLineOption shutdown_;
};

// The remote root as a URL: a file URL names a Windows share by its host
// (file://server/share), and localhost by no host.
QUrl remoteRoot(const QString &value);

enum class RemoteCheck { Valid, Invalid, UnsupportedScheme };

// Whether a remote root can be used; `scheme` receives the parsed scheme.
RemoteCheck checkRemotePath(const QString &value, QString *scheme = nullptr);

// The supported schemes, in the order the refusal message lists them.
QStringList supportedSchemes();

#endif // COMMANDLINE_H
