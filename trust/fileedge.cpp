#include "trust/fileedge.h"

#include <QDir>
#include <QFile>

#if defined(Q_OS_WIN)
#include <windows.h>
// after windows.h, which they need
#include <aclapi.h>
#include <sddl.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#if defined(Q_OS_WIN)

const wchar_t *wide(const QString &text)
{
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// A security descriptor made from SDDL, freed with the object.
class Descriptor {
public:
    explicit Descriptor(const QString &sddl)
    {
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            wide(sddl), SDDL_REVISION_1, &descriptor_, nullptr);
    }
    ~Descriptor() { ::LocalFree(descriptor_); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    PSECURITY_DESCRIPTOR get() const { return descriptor_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

QString sddlOf(const QString &path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (::GetNamedSecurityInfoW(wide(native(path)), SE_FILE_OBJECT, wanted, nullptr, nullptr,
            nullptr, nullptr, &descriptor)
        != ERROR_SUCCESS)
        return QString();
    wchar_t *text = nullptr;
    QString sddl;
    if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, wanted, &text, nullptr)) {
        sddl = QString::fromWCharArray(text);
        ::LocalFree(text);
    }
    ::LocalFree(descriptor);
    return sddl;
}

QString sidText(PSID sid)
{
    wchar_t *text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
        return QString();
    const QString result = QString::fromWCharArray(text);
    ::LocalFree(text);
    return result;
}

QByteArray tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    ::GetTokenInformation(token, kind, nullptr, 0, &size);
    QByteArray buffer(int(size), '\0');
    return size && ::GetTokenInformation(token, kind, buffer.data(), size, &size) ? buffer
                                                                                  : QByteArray();
}

QString ownDacl(FileEdge::Access access)
{
    return protectedDacl(FileEdge::selfName(), access == FileEdge::Access::Shared);
}

#else

const mode_t sharedMode = 0755, privateMode = 0700;

mode_t modeOf(FileEdge::Access access)
{
    return access == FileEdge::Access::Shared ? sharedMode : privateMode;
}

// The directory itself, never what a link in its place points to.
bool chmodDirectory(const QString &path, mode_t mode)
{
    const int fd = ::open(
        QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool changed = ::fchmod(fd, mode) == 0;
    ::close(fd);
    return changed;
}

#endif

} // namespace

namespace FileEdge {

#if defined(Q_OS_WIN)

DirectoryFacts factsOf(const QString &path)
{
    DirectoryFacts facts;
    const DWORD attributes = ::GetFileAttributesW(wide(native(path)));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return facts;
    facts.exists = true;
    facts.isLink = attributes & FILE_ATTRIBUTE_REPARSE_POINT;
    facts.isDirectory = attributes & FILE_ATTRIBUTE_DIRECTORY;
    if (facts.isDirectory && !facts.isLink)
        facts.sddl = sddlOf(path);
    return facts;
}

QString tokenUser(void *token)
{
    const QByteArray user = tokenInformation(token, TokenUser);
    return user.isEmpty() ? QString()
                          : sidText(reinterpret_cast<const TOKEN_USER *>(user.data())->User.Sid);
}

bool tokenHasGroup(void *token, const QString &groupSid)
{
    const QByteArray groups = tokenInformation(token, TokenGroups);
    if (groups.isEmpty())
        return false;
    const auto *list = reinterpret_cast<const TOKEN_GROUPS *>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i) {
        if ((list->Groups[i].Attributes & SE_GROUP_ENABLED)
            && sidText(list->Groups[i].Sid) == groupSid)
            return true;
    }
    return false;
}

QString selfName()
{
    static const QString sid = [] {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
            return QString();
        const QString user = tokenUser(token);
        ::CloseHandle(token);
        return user;
    }();
    return sid;
}

TrustVerdict verdictOn(const DirectoryFacts &facts, Scope scope)
{
    return windowsTrust(facts.sddl, selfName(), scope);
}

bool makeOwnDirectory(const QString &path, Access access)
{
    const Descriptor descriptor(ownDacl(access));
    SECURITY_ATTRIBUTES attributes {sizeof(attributes), descriptor.get(), FALSE};
    return descriptor.get() && ::CreateDirectoryW(wide(native(path)), &attributes);
}

bool lockDown(const QString &path, Access access)
{
    const Descriptor descriptor(ownDacl(access));
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (!descriptor.get()
        || !::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted))
        return false;
    // Refused by the caller when it is a reparse point; checked again here.
    const DirectoryFacts facts = factsOf(path);
    return facts.isDirectory && !facts.isLink
        && ::SetNamedSecurityInfoW(const_cast<wchar_t *>(wide(native(path))), SE_FILE_OBJECT,
               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
               dacl, nullptr)
        == ERROR_SUCCESS;
}

#else

DirectoryFacts factsOf(const QString &path)
{
    DirectoryFacts facts;
    struct stat status { };
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return facts;
    facts.exists = true;
    facts.isLink = S_ISLNK(status.st_mode);
    facts.isDirectory = S_ISDIR(status.st_mode);
    facts.ownerUid = status.st_uid;
    facts.mode = status.st_mode & 07777;
    return facts;
}

QString selfName()
{
    return QString::number(::geteuid());
}

TrustVerdict verdictOn(const DirectoryFacts &facts, Scope scope)
{
    return unixTrust(facts.ownerUid, facts.mode, ::geteuid(), scope);
}

bool makeOwnDirectory(const QString &path, Access access)
{
    // The mode is set again after mkdir, which the umask narrows or widens.
    return ::mkdir(QFile::encodeName(path).constData(), modeOf(access)) == 0
        && chmodDirectory(path, modeOf(access));
}

bool lockDown(const QString &path, Access access)
{
    return chmodDirectory(path, modeOf(access));
}

#endif

Claim claimDirectory(const QString &path, Access access)
{
    Claim claim;
    DirectoryFacts facts = factsOf(path);
    if (!facts.exists && makeOwnDirectory(path, access))
        facts = factsOf(path);
    claim.isDirectory = facts.isDirectory && !facts.isLink;
    if (facts.isLink)
        claim.refusal = QLatin1String(linkRefusal);
    if (!claim.isDirectory)
        return claim;
    TrustVerdict verdict = verdictOn(facts, Scope::Write);
    if (verdict.trust == Trust::Loose && lockDown(path, access)) {
        claim.lockedDown = verdict.reason;
        verdict = verdictOn(factsOf(path), Scope::Write);
    }
    if (verdict.trust != Trust::Own)
        claim.refusal = verdict.reason;
    return claim;
}

void removeEntries(const QString &dir)
{
    const QStringList names = QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString path = dir + QLatin1Char('/') + name;
        const DirectoryFacts facts = factsOf(path);
        if (facts.isDirectory && !facts.isLink) {
            removeEntries(path);
            QDir().rmdir(path);
        } else if (facts.isDirectory) {
            QDir().rmdir(path); // a junction or directory link: the link alone
        } else {
            QFile::remove(path);
        }
    }
}

} // namespace FileEdge
