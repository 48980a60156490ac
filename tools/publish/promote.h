#ifndef PUBLISH_PROMOTE_H
#define PUBLISH_PROMOTE_H

#include <QString>

// Rollout rings: the release one kind offers (its updaters have run it for a
// while) becomes the release another kind offers. Kinds are free text, so
// kiosk-ring1 and kiosk are two rings of the same fleet.
struct PromoteRequest {
    QString root;
    QString from;
    QString to;
    QString secretKey; // re-signs the manifest, which names its kind
    QString expires; // "30d": a new expiry; empty: the source's, if any
};

struct PromoteResult {
    bool promoted = false;
    bool refused = true; // the input was refused, rather than a write failing
    QString message; // why not, when not promoted
    QString packageName;
    QString version;
};

// Copies the package, its signature if any and, last, the manifest (with the
// kind and, given a key, its signature made anew), each through a temporary
// file renamed into place. Refuses when the target offers a newer version.
PromoteResult promote(const PromoteRequest &request);

#endif // PUBLISH_PROMOTE_H
