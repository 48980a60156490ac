#include "trust/fileedge.h"

#if defined(Q_OS_WIN)

#include <QDir>
#include <QFile>

#include <windows.h>
// after windows.h, which they need
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

namespace {

const int deepest = 64;
const DWORD look = READ_CONTROL | FILE_READ_ATTRIBUTES;
// No FILE_SHARE_DELETE: while a handle is held, nobody renames or deletes it.
const DWORD pinned = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD noFollow = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

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
    PACL dacl() const
    {
        PACL dacl = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        return descriptor_ && ::GetSecurityDescriptorDacl(descriptor_, &present, &dacl, &defaulted)
            ? dacl
            : nullptr;
    }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

const SECURITY_INFORMATION ownerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

QString sddlText(PSECURITY_DESCRIPTOR descriptor)
{
    wchar_t *text = nullptr;
    QString sddl;
    if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, ownerAndDacl, &text, nullptr)) {
        sddl = QString::fromWCharArray(text);
        ::LocalFree(text);
    }
    ::LocalFree(descriptor);
    return sddl;
}

QString sddlOf(HANDLE handle)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    return ::GetSecurityInfo(handle, SE_FILE_OBJECT, ownerAndDacl, nullptr, nullptr, nullptr,
               nullptr, &descriptor)
            == ERROR_SUCCESS
        ? sddlText(descriptor)
        : QString();
}

QString sddlOf(const QString &path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    return ::GetNamedSecurityInfoW(wide(native(path)), SE_FILE_OBJECT, ownerAndDacl, nullptr,
               nullptr, nullptr, nullptr, &descriptor)
            == ERROR_SUCCESS
        ? sddlText(descriptor)
        : QString();
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

DirectoryFacts factsOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION *info)
{
    DirectoryFacts facts;
    if (!::GetFileInformationByHandle(handle, info))
        return facts;
    facts.exists = true;
    facts.isLink = info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    facts.isDirectory = info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    facts.sddl = sddlOf(handle);
    return facts;
}

HANDLE openNoFollow(const QString &path)
{
    // WRITE_DAC where it is granted, for lockDown() on the held handle.
    HANDLE handle = ::CreateFileW(
        wide(native(path)), look | WRITE_DAC, pinned, nullptr, OPEN_EXISTING, noFollow, nullptr);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED)
        handle = ::CreateFileW(
            wide(native(path)), look, pinned, nullptr, OPEN_EXISTING, noFollow, nullptr);
    return handle;
}

// `as`: the path the held directory is known by. A drive's root is no link
// anyone could plant (under Wine its name is one: dosdevices/z:).
FileEdge::Entry entryAt(const QString &path, const QString &as, bool root = false)
{
    FileEdge::Entry entry;
    const HANDLE handle = openNoFollow(path);
    if (handle == INVALID_HANDLE_VALUE) {
        // Not opened, but there: facts without an owner, which no verdict trusts.
        entry.facts = FileEdge::factsOf(path);
        entry.facts.sddl.clear();
        return entry;
    }
    BY_HANDLE_FILE_INFORMATION info {};
    entry.facts = factsOf(handle, &info);
    // Wine opens a Unix link's target all the same; its name still says link.
    const DWORD named = ::GetFileAttributesW(wide(native(path)));
    entry.facts.isLink = entry.facts.isLink
        || (!root && named != INVALID_FILE_ATTRIBUTES && (named & FILE_ATTRIBUTE_REPARSE_POINT));
    if (entry.facts.isDirectory && !entry.facts.isLink)
        entry.dir = FileEdge::Directory(reinterpret_cast<qintptr>(handle), as);
    else
        ::CloseHandle(handle);
    return entry;
}

bool removePath(const QString &path)
{
    const DWORD attributes = ::GetFileAttributesW(wide(native(path)));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    // A junction or directory link is a directory entry: removed as one, alone.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return ::RemoveDirectoryW(wide(native(path)));
    return ::DeleteFileW(wide(native(path)));
}

void removeIn(const QString &dir, const FileEdge::Picker &doomed, int depth)
{
    const QStringList names = QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString path = dir + QLatin1Char('/') + name;
        const DirectoryFacts facts = FileEdge::factsOf(path);
        if (doomed && !doomed(name, facts))
            continue;
        if (facts.isDirectory && !facts.isLink && depth < deepest)
            removeIn(path, FileEdge::Picker(), depth + 1);
        removePath(path);
    }
}

bool adopt(QFile &file, HANDLE handle, QIODevice::OpenMode mode)
{
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        return false;
    }
    if (file.open(fd, mode, QFileDevice::AutoCloseHandle))
        return true;
    ::_close(fd);
    return false;
}

DWORD accessFor(QIODevice::OpenMode mode)
{
    return ((mode & QIODevice::ReadOnly) ? GENERIC_READ : 0)
        | ((mode & QIODevice::WriteOnly) ? GENERIC_WRITE : 0);
}

} // namespace

namespace FileEdge {

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

DirectoryFacts factsOf(const QString &path)
{
    DirectoryFacts facts;
    const DWORD attributes = ::GetFileAttributesW(wide(native(path)));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return facts;
    facts.exists = true;
    facts.isLink = attributes & FILE_ATTRIBUTE_REPARSE_POINT;
    facts.isDirectory = attributes & FILE_ATTRIBUTE_DIRECTORY;
    if (!facts.isLink)
        facts.sddl = sddlOf(path);
    return facts;
}

Directory::Directory(qintptr handle, const QString &path)
    : handle_(handle)
    , path_(path)
{
}

Directory::~Directory()
{
    if (handle_ != invalid)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

Directory::Directory(Directory &&other) noexcept
    : handle_(other.handle_)
    , path_(std::move(other.path_))
{
    other.handle_ = invalid;
}

Directory &Directory::operator=(Directory &&other) noexcept
{
    std::swap(handle_, other.handle_);
    std::swap(path_, other.path_);
    return *this;
}

Entry openEntry(const Directory &parent, const QString &name)
{
    // Win32 opens by path only; the held parent cannot be renamed meanwhile.
    return entryAt(parent.pathOf(name), parent.pathOf(name));
}

Entry openRoot(const QString &root)
{
    return entryAt(root, root.endsWith(QLatin1Char('/')) ? root.chopped(1) : root, true);
}

QString linkTarget(const Directory &parent, const QString &name)
{
    const HANDLE handle = ::CreateFileW(wide(native(parent.pathOf(name))), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return QString();
    wchar_t buffer[32768];
    const DWORD length = ::GetFinalPathNameByHandleW(
        handle, buffer, 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    ::CloseHandle(handle);
    if (length == 0 || length >= 32768)
        return QString();
    QString target = QString::fromWCharArray(buffer, int(length));
    if (target.startsWith(QLatin1String("\\\\?\\UNC\\")))
        target.replace(0, 8, QStringLiteral("\\\\"));
    else if (target.startsWith(QLatin1String("\\\\?\\")))
        target.remove(0, 4);
    return QDir::fromNativeSeparators(target);
}

bool makeDirectory(const Directory &parent, const QString &name, Access access)
{
    const Descriptor descriptor(ownDacl(access));
    SECURITY_ATTRIBUTES attributes {sizeof(attributes), descriptor.get(), FALSE};
    return descriptor.get() && ::CreateDirectoryW(wide(native(parent.pathOf(name))), &attributes);
}

bool lockDown(const Directory &dir, Access access)
{
    // On the held handle, which was opened without following a reparse point.
    const Descriptor descriptor(ownDacl(access));
    return descriptor.dacl()
        && ::SetSecurityInfo(reinterpret_cast<HANDLE>(dir.handle()), SE_FILE_OBJECT,
               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
               descriptor.dacl(), nullptr)
        == ERROR_SUCCESS;
}

DirectoryFacts factsOf(const Directory &dir)
{
    BY_HANDLE_FILE_INFORMATION info {};
    return ::factsOf(reinterpret_cast<HANDLE>(dir.handle()), &info);
}

void removeEntries(const Directory &dir, const Picker &doomed)
{
    removeIn(dir.path(), doomed, 0);
}

bool createFile(
    QFile &file, const Directory &dir, const QString &name, QIODevice::OpenMode mode, Access access)
{
    return createFile(file, dir.pathOf(name), mode, access);
}

bool createFile(QFile &file, const QString &path, QIODevice::OpenMode mode, Access access)
{
    // Shared: what the directory hands down, which the updater set itself.
    const Descriptor descriptor(ownDacl(Access::Private));
    SECURITY_ATTRIBUTES attributes {sizeof(attributes), descriptor.get(), FALSE};
    const bool own = access == Access::Private;
    if (own && !descriptor.get())
        return false;
    return adopt(file,
        ::CreateFileW(wide(native(path)), accessFor(mode),
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, own ? &attributes : nullptr,
            CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
        mode);
}

bool openOwnFile(QFile &file, const QString &path, QIODevice::OpenMode mode)
{
    const HANDLE handle = ::CreateFileW(wide(native(path)), accessFor(mode),
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info {};
    const DirectoryFacts facts = ::factsOf(handle, &info);
    if (!facts.exists || facts.isLink || facts.isDirectory || info.nNumberOfLinks != 1
        || !trustedOwner(facts, selfName())) {
        ::CloseHandle(handle);
        return false;
    }
    return adopt(file, handle, mode);
}

bool removeFile(const QString &path)
{
    return removePath(path);
}

bool removeFile(const Directory &dir, const QString &name)
{
    return removePath(dir.pathOf(name));
}

bool renameFile(const Directory &dir, const QString &from, const QString &to)
{
    return ::MoveFileExW(wide(native(dir.pathOf(from))), wide(native(dir.pathOf(to))),
               MOVEFILE_REPLACE_EXISTING)
        != 0;
}

bool renameFile(const QString &from, const QString &to)
{
    return ::MoveFileExW(wide(native(from)), wide(native(to)), MOVEFILE_REPLACE_EXISTING) != 0;
}

} // namespace FileEdge

#endif
