#ifndef MALFORMEDLINES_H
#define MALFORMEDLINES_H

#include <QByteArray>
#include <QList>
#include <QRandomGenerator>

namespace Faults {

// Text that may stand anywhere: no scheme, no parent step, no percent sign
// (which URLs would decode into dots), nothing absolute.
QByteArray harmless(QByteArray text);

// Command lines for the updater, malformed in every way a seeded generator
// can think of. "@SLOT@" stands for the absolute path of the directory the
// line runs in, "@PORT@" for a port on 127.0.0.1 that refuses connections.
class LineGenerator {
public:
    explicit LineGenerator(quint32 seed);
    QList<QByteArray> next();

private:
    int pick(int bound) { return int(rng_.bounded(quint32(bound))); }
    bool chance(int percent) { return pick(100) < percent; }
    QList<QByteArray> usableLine();
    void mutate(QList<QByteArray> &line);
    QByteArray token();
    QByteArray option();
    QByteArray value();
    QByteArray randomText(int size, bool anyByte);
    QByteArray nonAscii();

    QRandomGenerator rng_;
};

} // namespace Faults

#endif // MALFORMEDLINES_H
