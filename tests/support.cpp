#include "support.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTest>
#include <QUrl>

#include <unistd.h>

bool underWine()
{
    return qEnvironmentVariableIsSet("UPDATER_EXE");
}

QString hostPath(const QString &path)
{
    return underWine() ? "Z:"_s + path : path;
}

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(hostPath(path)).toString();
}

// Wine's server lives below TMPDIR: one TMPDIR for every run, or a second
// server would share the prefix. The prefix is a fresh copy of the template
// (hard links, and copies of the registry, which Wine rewrites).
QProcessEnvironment wineEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR"_s, "/tmp"_s);
    static const bool fresh = [&env] {
        const QString prefix = env.value("WINEPREFIX"_s),
                      from = env.value("UPDATER_WINE_TEMPLATE"_s);
        QDir(prefix).removeRecursively();
        if (QProcess::execute("cp"_s, {"-al"_s, from, prefix}) != 0)
            return false;
        for (const QString &name : QDir(from).entryList({"*.reg"_s}, QDir::Files))
            QFile::remove(prefix + "/"_s + name)
                && QFile::copy(from + "/"_s + name, prefix + "/"_s + name);
        return true;
    }();
    Q_UNUSED(fresh)
    return env;
}

int wine(const QStringList &args)
{
    QProcess process;
    process.setProcessEnvironment(wineEnvironment());
    process.start("wine"_s, args);
    return process.waitForFinished(30000) ? process.exitCode() : -1;
}

void prepareUpdater(
    QProcess &process, const QStringList &args, const QString &tmpDir, const QString &program)
{
    QDir().mkpath(tmpDir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR"_s, tmpDir);
    process.setProcessEnvironment(env);
    process.setProgram(program);
    process.setArguments(args);
    if (underWine() && (program == QLatin1String(UPDATER_BINARY) || program == "wine"_s)) {
        process.setProcessEnvironment(wineEnvironment());
        process.setProgram("wine"_s);
        if (program != "wine"_s)
            process.setArguments(QStringList {qEnvironmentVariable("UPDATER_EXE")} + args);
    }
}

RunResult runUpdater(
    const QStringList &args, const QString &tmpDir, int timeoutMs, const QString &program)
{
    QProcess process;
    prepareUpdater(process, args, tmpDir, program);
    process.start();
    const bool finished = process.waitForFinished(timeoutMs);
    process.kill();
    process.waitForFinished();
    return {finished && process.exitStatus() == QProcess::NormalExit, process.exitCode(),
        process.readAllStandardOutput(), process.readAllStandardError()};
}

QStringList logMessages(const QString &logPath)
{
    QStringList messages;
    for (const QByteArray &line : readFile(logPath).split('\n'))
        messages << QString::fromLatin1(line.mid(line.indexOf(">  ") + 3));
    messages.removeLast(); // after the final line feed
    return messages;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray md5Hex(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex();
}

QByteArray packageBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (char &c : bytes)
        c = static_cast<char>(generator.generate());
    return bytes;
}

QByteArray publishPackage(const QString &dir, const QString &overrides)
{
    const QByteArray package = packageBytes(300 * 1024);
    QJsonObject manifest {{"md5"_s, QString::fromLatin1(md5Hex(package))}, {"os"_s, "windows"_s},
        {"compatible_os_version"_s, "7+"_s}, {"version"_s, "2.2.0"_s}, {"package"_s, packageName}};
    for (const QString &pair : overrides.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        manifest.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    writeFile(dir + QLatin1Char('/') + manifest["package"_s].toString(), package);
    writeFile(dir + "/updates.json"_s, QJsonDocument(manifest).toJson());
    return package;
}

QStringList entries(const QString &dir, const QString &pattern)
{
    return QDir(dir).entryList({pattern}, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

bool containsInOrder(const QStringList &lines, const QStringList &expected)
{
    int at = 0;
    for (const QString &want : expected) {
        const bool prefix = want.endsWith(QLatin1Char('*'));
        const QString text = prefix ? want.chopped(1) : want;
        while (at < lines.size() && !(prefix ? lines[at].startsWith(text) : lines[at] == text))
            ++at;
        if (at++ == lines.size())
            return false;
    }
    return true;
}

NginxServer::NginxServer(const QString &documentRoot, const QString &runtimeDir)
    : root_(documentRoot)
    , dir_(runtimeDir)
{
    process_.setProcessChannelMode(QProcess::MergedChannels);
}

NginxServer::~NginxServer()
{
    process_.kill();
    process_.waitForFinished();
}

QStringList NginxServer::accessLog() const
{
    return QString::fromLatin1(readFile(dir_ + "/access.log"_s))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool NginxServer::start()
{
    QDir().mkpath(dir_);
    const QString cert = dir_ + "/cert.pem"_s, key = dir_ + "/key.pem"_s;
    const int made = QProcess::execute("openssl"_s,
        QStringLiteral("req -x509 -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -days 2 "
                       "-subj /CN=127.0.0.1 -keyout %1 -out %2")
            .arg(key, cert)
            .split(QLatin1Char(' ')));
    quint16 ports[2] = {0, 0};
    for (quint16 &port : ports) { // free a moment ago; nginx reports a taken port
        QTcpServer probe;
        port = probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
    }
    const QString config = QStringLiteral(
        "%1 worker_processes 1; master_process off; daemon off; pid nginx.pid;\n"
        "error_log error.log; events { worker_connections 64; }\n"
        "http { log_format t '$request_method $request_uri $status $server_protocol "
        "$http_user_agent';\n"
        "access_log access.log t; default_type application/octet-stream;\n"
        "client_body_temp_path t; proxy_temp_path t; fastcgi_temp_path t;\n"
        "uwsgi_temp_path t; scgi_temp_path t;\n"
        "server { listen 127.0.0.1:%2; listen 127.0.0.1:%3 ssl http2; root %4;\n"
        "ssl_certificate %5; ssl_certificate_key %6; location /slow/ { limit_rate 100k; } } }\n");
    writeFile(dir_ + "/nginx.conf"_s,
        config.arg(::geteuid() == 0 ? "user root;"_s : QString())
            .arg(ports[0])
            .arg(ports[1])
            .arg(root_, cert, key)
            .toUtf8());
    process_.start("/usr/sbin/nginx"_s,
        {"-p"_s, dir_ + QLatin1Char('/'), "-e"_s, "error.log"_s, "-c"_s, "nginx.conf"_s});
    const bool up = made == 0 && QTest::qWaitFor([this, &ports] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, ports[1]);
        return socket.waitForConnected(100) || process_.state() == QProcess::NotRunning;
    }) && process_.state() == QProcess::Running;
    httpRoot = "http://127.0.0.1:%1"_s.arg(ports[0]);
    httpsRoot = "https://127.0.0.1:%1"_s.arg(ports[1]);
    error = QString::fromLocal8Bit(process_.readAll() + readFile(dir_ + "/error.log"_s));
    return up;
}

void FakeServer::script(const QByteArray &path, const QByteArray &raw, int cut)
{
    script_.insert(path, qMakePair(raw, cut));
}

void FakeServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    socket->setSocketDescriptor(descriptor);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        QByteArray head = socket->property("head").toByteArray() + socket->readAll();
        socket->setProperty("head", head);
        if (!head.contains("\r\n\r\n"))
            return;
        requests << head;
        const QByteArray path = head.split(' ').value(1);
        const auto answer = script_.value(path,
            qMakePair(QByteArray("HTTP/1.1 404 Not Found\r\n"
                                 "Content-Length: 0\r\n\r\n"),
                -1));
        socket->write(answer.second < 0 ? answer.first : answer.first.left(answer.second));
        socket->disconnectFromHost(); // after what was written has gone out
    });
}
