#ifndef PUBLISH_CLI_H
#define PUBLISH_CLI_H

#include <QStringList>
#include <QTextStream>

// Exit codes of updater-publish.
namespace PublishExit {
enum : int {
    Done = 0, // published; or check: the updater would download the package
    Failed = 1, // publish could not write the package or the manifest
    Usage = 2, // bad command line
    WouldNotDownload = 3, // check: constraint or version keeps the updater from it
    Invalid = 4, // publish refused its input; or check: the manifest is invalid
};
}

// The whole tool: `arguments` as QCoreApplication::arguments() gives them
// (program name first). The report goes to `out`, usage errors to `err`.
int runPublishTool(const QStringList &arguments, QTextStream &out, QTextStream &err);

// The text of --help.
QString publishToolHelp();

#endif // PUBLISH_CLI_H
