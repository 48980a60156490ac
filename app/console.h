#ifndef CONSOLE_H
#define CONSOLE_H

#include <QString>

// Where the texts meant for a person go (help, version, command-line errors
// before the log exists): the standard handles when the starter gave some,
// else, on Windows, the console of the program that started this one. Never
// a window: a message box would hang every script that asks for the version.
namespace Console {

enum class Stream { Out, Err };

// Writes `text` as it is; dropped when there is nowhere to write it.
void write(const QString &text, Stream stream);

// A message handler for the time before the log file is known.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

} // namespace Console

#endif // CONSOLE_H
