#include "support.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QUrl>

#include <cstdlib>
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

void prepareUpdater(QProcess &process, const QStringList &args, const QString &tmpDir,
    const QString &program, const QString &shell)
{
    QDir().mkpath(tmpDir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const bool wine
        = underWine() && (program == QLatin1String(UPDATER_BINARY) || program == "wine"_s);
    // One TMPDIR, or a second Wine server shares the prefix: the template's
    // copy (hard links, but for the registry, which Wine rewrites). One server
    // for the whole program: a Wine process that starts while the last one's
    // server is going away fails now and then.
    env.insert("TMPDIR"_s, wine ? "/tmp"_s : tmpDir);
    // The server of the suite's architecture (WINESERVER), as its loader (UPDATER_WINE).
    static const int fresh = !wine
        ? 0
        : QProcess::execute("sh"_s,
              {"-c"_s,
                  "rm -rf \"$1\" && cp -al \"$0\" \"$1\" && cp --remove-destination \"$0\"/*.reg "
                  "\"$1\" && TMPDIR=/tmp \"$WINESERVER\" -p"_s,
                  env.value("UPDATER_WINE_TEMPLATE"_s), env.value("WINEPREFIX"_s)})
            | std::atexit([] { std::system("TMPDIR=/tmp \"$WINESERVER\" -k"); });
    if (fresh)
        qFatal("cannot copy the Wine prefix UPDATER_WINE_TEMPLATE to WINEPREFIX, or start "
               "WINESERVER in it");
    process.setProcessEnvironment(env);
    process.setProgram(wine ? qEnvironmentVariable("UPDATER_WINE") : program);
    process.setArguments(wine && program != "wine"_s
            ? QStringList {qEnvironmentVariable("UPDATER_EXE")} + args
            : args);
    if (!shell.isEmpty()) {
        process.setArguments(
            QStringList {"-c"_s, shell + "\nexec \"$0\" \"$@\""_s, process.program()}
            + process.arguments());
        process.setProgram("sh"_s);
    }
}

RunResult runUpdater(const QStringList &args, const QString &tmpDir, int timeoutMs,
    const QString &program, const QString &shell)
{
    QProcess process;
    prepareUpdater(process, args, tmpDir, program, shell);
    process.start();
    const bool finished = process.waitForFinished(timeoutMs);
    const QByteArray why = process.state() == QProcess::NotRunning && !finished
        ? process.errorString().toLocal8Bit() // never started
        : QByteArray();
    process.kill();
    process.waitForFinished();
    return {finished && process.exitStatus() == QProcess::NormalExit, process.exitCode(),
        process.readAllStandardOutput(), why + process.readAllStandardError()};
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
        manifest.insert(pair.section('='_L1, 0, 0), // "#": a number
            pair.section('='_L1, 1).startsWith('#'_L1)
                ? QJsonValue(pair.section("=#"_s, 1).toDouble())
                : QJsonValue(pair.section('='_L1, 1)));
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

ChildServer::ChildServer(const QString &dir)
    : dir(dir)
{
    process_.setProcessChannelMode(QProcess::MergedChannels);
    QDir().mkpath(dir);
}

ChildServer::~ChildServer()
{
    process_.kill();
    process_.waitForFinished();
}

QStringList ChildServer::log(const QString &name) const
{
    return QString::fromLatin1(readFile(dir + "/"_s + name)).split('\n'_L1, Qt::SkipEmptyParts);
}

bool ChildServer::launch(QString config, const QString &program, const QStringList &args)
{
    for (quint16 &port : ports) { // free a moment ago; the server reports a taken port
        QTcpServer probe;
        port = probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
    }
    config.replace("{p1}"_s, QString::number(ports[0]))
        .replace("{p2}"_s, QString::number(ports[1]));
    writeFile(dir + "/server.conf"_s, config.replace("{dir}"_s, dir).toUtf8());
    process_.start(program, args);
    // A server may listen before QProcess has seen its start: wait for that first.
    bool up = process_.waitForStarted(10000);
    up = up
        && QTest::qWaitFor(
            [this] {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, ports[1]);
                return socket.waitForConnected(100) || process_.state() != QProcess::Running;
            },
            10000)
        && process_.state() == QProcess::Running;
    error = "%1 (state %2, exit code %3, %4): %5%6"_s.arg(program)
                .arg(process_.state())
                .arg(process_.exitCode())
                .arg(process_.errorString(), QString::fromLocal8Bit(process_.readAll()),
                    log("error.log"_s).join('\n'_L1));
    return up;
}

NginxServer::NginxServer(const QString &documentRoot, const QString &runtimeDir)
    : ChildServer(runtimeDir)
    , root_(documentRoot)
{
}

bool NginxServer::start()
{
    const int made = QProcess::execute("openssl"_s,
        QStringLiteral("req -x509 -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -days 2 "
                       "-subj /CN=127.0.0.1 -keyout %1/key.pem -out %1/cert.pem")
            .arg(dir)
            .split(' '_L1));
    const QString config = QStringLiteral(
        "%1 worker_processes 1; master_process off; daemon off; pid nginx.pid;\n"
        "error_log error.log; events { worker_connections 64; }\n"
        "http { log_format t '$request_method $request_uri $status $server_protocol "
        "$http_user_agent via:$http_via';\n"
        "access_log access.log t; default_type application/octet-stream;\n"
        "client_body_temp_path t; proxy_temp_path t; fastcgi_temp_path t;\n"
        "uwsgi_temp_path t; scgi_temp_path t;\n"
        "server { listen 127.0.0.1:{p1}; listen 127.0.0.1:{p2} ssl http2; root %2;\n"
        "ssl_certificate {dir}/cert.pem; ssl_certificate_key {dir}/key.pem;\n"
        "location /slow/ { limit_rate 100k; } location /stall/ { limit_rate 2k; } } }\n")
                               .arg(::geteuid() == 0 ? "user root;"_s : QString(), root_);
    const bool up = made == 0
        && launch(config, "/usr/sbin/nginx"_s,
            {"-p"_s, dir + '/'_L1, "-e"_s, "error.log"_s, "-c"_s, "server.conf"_s});
    httpRoot = "http://127.0.0.1:%1"_s.arg(ports[0]);
    httpsRoot = "https://127.0.0.1:%1"_s.arg(ports[1]);
    return up;
}

bool SquidProxy::start()
{
    // Run as root, squid works as the user proxy: it must reach its files.
    QProcess::execute("chmod"_s, {"a+x"_s, dir + "/.."_s});
    QProcess::execute("chmod"_s, {"-R"_s, "a+rwX"_s, dir});
    writeFile(dir + "/hosts"_s, "127.0.0.1 updates.corvane.test\n");
    QProcess::execute(
        "sh"_s, {"-c"_s, "echo fleet:$(openssl passwd -apr1 s3cret) >$0/passwd"_s, dir});
    return launch(
        QStringLiteral("http_port 127.0.0.1:{p1}\nhttp_port 127.0.0.1:{p2} name=auth\n"
                       "pid_filename {dir}/pid\ncache_log {dir}/error.log\n"
                       "access_log stdio:{dir}/access.log squid\nhosts_file {dir}/hosts\n"
                       "coredump_dir {dir}\ncache deny all\nshutdown_lifetime 0 seconds\n"
                       "auth_param basic program /usr/lib/squid/basic_ncsa_auth {dir}/passwd\n"
                       "acl authport myportname auth\nacl authed proxy_auth REQUIRED\n"
                       "http_access deny authport !authed\nhttp_access allow all\n"),
        "/usr/sbin/squid"_s, {"-N"_s, "-f"_s, dir + "/server.conf"_s});
}

void FakeServer::script(const QByteArray &path, const QByteArray &raw, int cut, Then then)
{
    script_.insert(path, {raw, cut, then, QByteArray(), QByteArray(), Ranges::Honour});
}

void FakeServer::serve(const QByteArray &path, const QByteArray &file, const QByteArray &etag,
    Ranges ranges, int cut, Then then)
{
    script_.insert(path, {QByteArray(), cut, then, file, etag, ranges});
}

FakeServer::Answer FakeServer::answerFor(Answer answer, const QByteArray &head)
{
    if (answer.file.isNull())
        return answer;
    const QRegularExpression range("\r\nRange: bytes=(\\d+)-\r\n"_s),
        ifRange("\r\nIf-Range: ([^\r]*)"_s);
    const QRegularExpressionMatch asked = range.match(QString::fromLatin1(head)),
                                  validator = ifRange.match(QString::fromLatin1(head));
    const QByteArray from = asked.captured(1).toLatin1(),
                     size = QByteArray::number(answer.file.size());
    const bool partial = asked.hasMatch() && answer.ranges == Ranges::Honour
        && (!validator.hasMatch() || validator.captured(1).toLatin1() == answer.etag);
    QByteArray status = partial ? "206 Partial Content\r\nContent-Range: bytes " + from + '-'
            + QByteArray::number(answer.file.size() - 1) + '/' + size
                                : "200 OK";
    const bool refused = asked.hasMatch() && answer.ranges == Ranges::Refuse;
    if (refused)
        status = "416 Range Not Satisfiable\r\nContent-Range: bytes */" + size;
    const QByteArray body = refused ? QByteArray() : answer.file.mid(partial ? from.toInt() : 0);
    const QByteArray header = "HTTP/1.1 " + status + "\r\nConnection: close\r\nETag: " + answer.etag
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    answer.raw = header + body;
    answer.cut = answer.cut < 0 ? -1 : header.size() + answer.cut;
    return answer;
}

void FakeServer::dropAll()
{
    for (QTcpSocket *socket : findChildren<QTcpSocket *>())
        socket->abort();
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
        requests << QString::fromLatin1(head);
        const Answer notFound {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", -1,
            Then::Close, QByteArray(), QByteArray(), Ranges::Honour};
        const Answer answer = answerFor(script_.value(head.split(' ').value(1), notFound), head);
        socket->write(answer.cut < 0 ? answer.raw : answer.raw.left(answer.cut));
        if (answer.then == Then::Repeat) // as fast as it is read, never faster
            connect(socket, &QTcpSocket::bytesWritten, socket, [socket, answer] {
                if (socket->bytesToWrite() < 65536)
                    socket->write(answer.raw.right(65536));
            });
        else if (answer.then == Then::Close)
            socket->disconnectFromHost(); // after what was written has gone out
    });
}
