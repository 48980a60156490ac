#include "cli.h"

#include "rules.h"

QString publishToolHelp()
{
    return QStringLiteral(
        R"(Usage: updater-publish publish --root DIR --kind KIND [--constraint C] [--name NAME]
                               [--current-version V] [--signature FILE | --minisign-key FILE]
                               [--expires DURATION] PACKAGE VERSION
       updater-publish check MANIFEST [--kind KIND] [--windows W] [--current-version V]
                             [--pubkey FILE]
       updater-publish check --root DIR [--kind KIND] [--windows W] [--current-version V]
                             [--pubkey FILE]
       updater-publish promote --root DIR --from KIND --to KIND [--minisign-key FILE]
                               [--expires DURATION]
       updater-publish --help | --version

Publishes updates for the Corvane Mirelle software updater and tells what an
updater would do with a manifest.

publish   Copies PACKAGE, and its minisign signature PACKAGE.minisig when
          there is one, into DIR/KIND/ and then writes DIR/KIND/updates.json
          (lower-case md5, os "windows", VERSION as a string, the package
          name, the kind), each through a temporary file renamed into place,
          so that an updater never reads a manifest whose package is not
          there yet.
          Refuses a missing package, a VERSION that an updater of version V
          would not take as newer, a constraint that rejects every Windows,
          a package name with a path, and a signature that is not minisign's
          prehashed kind or was made for another file name.
  --root DIR            repository root (what updaters get as --remotePath)
  --kind KIND           pc, kiosk, mac or another kind (the updater's --appKind)
  --constraint C        7, 8, 8.1 or 10, optionally followed by + (or later)
                        or - (or earlier); default: any
  --name NAME           package name in the repository; default: the file
                        name of PACKAGE
  --current-version V   default: %1, this build's updater
  --signature FILE      the signature to publish as NAME.minisig; default:
                        PACKAGE.minisig, when it exists
  --minisign-key FILE   sign the package and the manifest with this minisign
                        secret key (minisign asks for its password), and
                        publish both signatures
  --expires DURATION    the manifest stops being valid for updaters with a
                        key after DURATION: 30d (days) or 12h (hours)

check     Evaluates a manifest with the updater's own code, shows the lines an
          updater of version V on Windows W would log, reports the classic
          mistakes (upper-case md5, version as a JSON number, "Windows",
          "Any", a package name with a path, ...) and, when the package lies
          next to the manifest, verifies its digest and, given a public key,
          its signature NAME.minisig as an updater built with that key would.
  MANIFEST              a manifest file, or:
  --root DIR            a repository root, read at DIR/KIND/updates.json
  --kind KIND           the updaters' --appKind; default: pc, like the updater
  --windows W           vista, 7, 8, 8.1, 10, 11 or other; default: 10
  --current-version V   the updater's version; default: %1
  --pubkey FILE         minisign public key file (as minisign -G writes it):
                        also verify updates.json.minisig, the kind and the
                        expiry as an updater built with that key would

promote   Offers the release of one kind (a ring that has run it) to another:
          copies the package, its signature and, last, the manifest, with the
          new kind (and, with --minisign-key, signed anew). Refuses when the
          target kind already offers a newer version.

Exit codes:
  0  published, promoted; check: the updater would download the package
  1  publish, promote: a file could not be written
  2  usage error
  3  check: the updater would not download it (Windows version or version)
  4  publish, promote: input refused; check: the manifest is invalid (no
     updater would download it, or it would throw the download away, for
     example for a signature that does not verify with --pubkey)
)")
        .arg(builtUpdaterVersion());
}
