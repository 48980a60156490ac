#ifndef MD5EDGE_H
#define MD5EDGE_H

#include <QByteArray>
#include <QtGlobal>

#include <memory>

// MD5 from nettle, whose state can be kept: a download resumed in a later
// run goes on hashing where it stopped instead of reading its part again.
class Md5 {
public:
    Md5();
    ~Md5();
    Md5(const Md5 &) = delete;
    Md5 &operator=(const Md5 &) = delete;

    void addData(const char *data, qint64 size);
    // 32 lower-case hexadecimal digits of everything added.
    QByteArray hexResult() const;
    // What has been hashed so far, for a later run of this same build.
    QByteArray state() const;
    bool restore(const QByteArray &state);
    void reset();

private:
    struct State;
    std::unique_ptr<State> state_;
};

#endif // MD5EDGE_H
