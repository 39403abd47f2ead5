#include "local/credential_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <utility>

#include "local/unique_fd.h"
#include "runtime/crypto.h"
#include "runtime/environment.h"

namespace bio::local {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Key files are a few kilobytes; anything far larger is not one of ours.
constexpr off_t kMaxKeyFileSize = 64 * 1024;

bool is_literal(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string join(const std::string& directory, std::string_view name) {
    std::string path = directory;
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    return path;
}

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The mode asked of mkdir() is narrowed by the umask: a directory just made is given
// exactly 0700 (a narrower one would refuse the key files), never more.
std::optional<PlatformError> make_private(int directory, const std::string& shown) {
    if (::fchmod(directory, 0700) == 0) return std::nullopt;
    return os_error(errno, "cannot set the mode of the key-credential store directory", shown);
}

// A descriptor that only names a directory, for fstat and as the start of a look-up: it
// needs no read permission on the directory.
#ifdef O_PATH
constexpr int kLookupFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kLookupFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Whom the store trusts. A directory or key file that another user could change would
// let that user plant a key of theirs, which then seals and signs for the caller: the
// store directory, the directories in it and the key files must be the calling user's
// own (root's for root) and writable by nobody else. A directory above the store may also
// be root's, and may be writable by others if it is sticky (/tmp), since then nobody
// else can move or remove the directory in it that is the caller's.
enum class Trust { Own, Ancestor };

// What makes `st` something another user could change, or empty when nothing does.
std::string untrusted(const struct stat& st, Trust trust) {
    const uid_t me = ::geteuid();
    const bool ancestor = trust == Trust::Ancestor;
    if (st.st_uid != me && !(ancestor && st.st_uid == 0)) {
        return "owned by uid " + std::to_string(st.st_uid) + ", not by the calling user (uid " + std::to_string(me) +
               (ancestor ? ") or root" : ")");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !(ancestor && (st.st_mode & S_ISVTX) != 0)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("group or others may write it (mode ") + mode + ")";
    }
    return {};
}

PlatformError refusal(std::string_view what, std::string_view path, const std::string& fault) {
    std::string text = "unsafe ";
    text += what;
    text += " ";
    text += path;
    text += ": ";
    text += fault;
    return PlatformError::with_text(hresult_from_errno(EACCES), std::move(text));
}

// `path` (which names the directory at `fd`) with `depth` trailing components taken off
// its real path, for messages about the directories above it.
std::string ancestor_name(const std::string& path, std::size_t depth) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) {
        std::string name = path;
        for (std::size_t i = 0; i < depth; ++i) name = join(name, "..");
        return name;
    }
    std::string name = real.get();
    for (std::size_t i = 0; i < depth; ++i) {
        const std::size_t slash = name.find_last_of('/');
        name.resize(slash == 0 || slash == std::string::npos ? 1 : slash);
    }
    return name;
}

// Checks the directory at `fd` (`path`) as `trust` says, then every directory above it up
// to the root by "..", which are the directories its path really passes, whatever links
// it took: each of them could move it elsewhere.
std::optional<PlatformError> check_directories(int fd, const std::string& path, Trust trust) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return os_error(errno, "cannot look up the key-credential store directory", path);
    if (std::string fault = untrusted(st, trust); !fault.empty()) {
        return refusal(trust == Trust::Own ? "key-credential store" : "key-credential store directory", path, fault);
    }
    UniqueFd current;
    for (std::size_t depth = 1;; ++depth) {
        UniqueFd parent(::openat(current ? current.get() : fd, "..", kLookupFlags));
        struct stat above;
        if (!parent || ::fstat(parent.get(), &above) != 0) {
            return os_error(errno, "cannot look up the key-credential store directory", ancestor_name(path, depth));
        }
        if (above.st_dev == st.st_dev && above.st_ino == st.st_ino) return std::nullopt;  // the root
        if (std::string fault = untrusted(above, Trust::Ancestor); !fault.empty()) {
            return refusal("key-credential store directory", ancestor_name(path, depth), fault);
        }
        st = above;
        current = std::move(parent);
    }
}

// Creates the missing directories of `path`, each 0700, once the deepest directory that
// exists and those above it are checked: nothing is made where another user could reach.
std::optional<PlatformError> make_directories(const std::string& path) {
    std::string deepest = path.starts_with('/') ? "/" : ".";
    bool checked = false;
    for (std::size_t end = 1; end <= path.size(); ++end) {
        if (end != path.size() && path[end] != '/') continue;
        if (path[end - 1] == '/') continue;
        std::string prefix = path.substr(0, end);
        if (!checked) {
            if (UniqueFd(::open(prefix.c_str(), kLookupFlags))) {
                deepest = std::move(prefix);
                continue;
            }
            UniqueFd found(::open(deepest.c_str(), kLookupFlags));
            if (!found) return os_error(errno, "cannot open the key-credential store directory", deepest);
            if (auto error = check_directories(found.get(), deepest, Trust::Ancestor)) return error;
            checked = true;
        }
        if (::mkdir(prefix.c_str(), 0700) == 0) {
            UniqueFd made(::open(prefix.c_str(), kDirectoryFlags));
            if (!made) return os_error(errno, "cannot open the key-credential store directory", prefix);
            if (auto error = make_private(made.get(), prefix)) return error;
            continue;
        }
        if (errno == EEXIST) {
            // Made by someone else since it was looked for: checked as those above were.
            UniqueFd other(::open(prefix.c_str(), kLookupFlags));
            struct stat st;
            if (!other || ::fstat(other.get(), &st) != 0) {
                return os_error(errno, "cannot open the key-credential store directory", prefix);
            }
            if (std::string fault = untrusted(st, Trust::Ancestor); !fault.empty()) {
                return refusal("key-credential store directory", prefix, fault);
            }
            continue;
        }
        const int error_number = errno;
        // A parent that exists may refuse mkdir with EACCES rather than EEXIST.
        struct stat st;
        if (::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        return os_error(error_number, "cannot create the key-credential store directory", prefix);
    }
    return std::nullopt;
}

// Opens the store directory, which must be the caller's alone (Trust); an absent store is
// an invalid descriptor unless `create`.
Outcome<UniqueFd> open_store(const std::string& directory, bool create) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    UniqueFd fd(::open(directory.c_str(), flags));
    if (!fd && errno == ENOENT) {
        if (!create) return UniqueFd();
        if (auto error = make_directories(directory)) return std::move(*error);
        fd = UniqueFd(::open(directory.c_str(), flags));
    }
    if (!fd) return os_error(errno, "cannot open the key-credential store", directory);
    if (auto error = check_directories(fd.get(), directory, Trust::Own)) return std::move(*error);
    return fd;
}

// Opens (and if `create`, makes) the nested directories that hold the key file at
// `components`; an invalid descriptor when one is absent. Symbolic links are not
// followed, so nothing inside the store leads out of it.
Outcome<UniqueFd> open_key_directory(const std::string& directory, const std::vector<std::string>& components,
                                     bool create) {
    Outcome<UniqueFd> store = open_store(directory, create);
    if (!store.ok() || !store.value()) return store;
    UniqueFd fd = std::move(store.value());
    std::string shown = directory;
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const std::string& name = components[i];
        shown = join(shown, name);
        UniqueFd next(::openat(fd.get(), name.c_str(), kDirectoryFlags));
        if (!next && errno == ENOENT) {
            if (!create) return UniqueFd();
            const bool made = ::mkdirat(fd.get(), name.c_str(), 0700) == 0;
            if (!made && errno != EEXIST) {
                return os_error(errno, "cannot create the key-credential store directory", shown);
            }
            next = UniqueFd(::openat(fd.get(), name.c_str(), kDirectoryFlags));
            if (next && made) {
                if (auto error = make_private(next.get(), shown)) return std::move(*error);
            }
        }
        if (!next) return os_error(errno, "cannot open the key-credential store directory", shown);
        struct stat st;
        if (::fstat(next.get(), &st) != 0) return os_error(errno, "cannot look up the key-credential store directory", shown);
        if (std::string fault = untrusted(st, Trust::Own); !fault.empty()) {
            return refusal("key-credential store directory", shown, fault);
        }
        fd = std::move(next);
    }
    return fd;
}

// Removes the directories that hold the key file at `components` while they are empty,
// deepest first, so that a long name's directories go with its key. The first one that is
// not empty (another name's key, a creation under way) ends it, as does any failure; a
// creation that loses a directory this way makes it again (create()). The store stays.
void remove_empty_directories(const std::string& directory, const std::vector<std::string>& components) {
    if (components.size() < 2) return;
    struct Identity {
        dev_t device;
        ino_t inode;
    };
    // Down as far as the directories go; passed[d] is the one at depth d, the store at 0.
    std::vector<Identity> passed;
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    while (fd) {
        struct stat st;
        if (::fstat(fd.get(), &st) != 0) return;
        passed.push_back({st.st_dev, st.st_ino});
        if (passed.size() == components.size()) break;
        UniqueFd next(::openat(fd.get(), components[passed.size() - 1].c_str(), kDirectoryFlags));
        if (!next) break;
        fd = std::move(next);
    }
    // Up by "..", which must be the directory passed on the way down: one moved meanwhile
    // ends the walk rather than lead it out of the store. Only descriptors are held, as a
    // long name's path is longer than the system takes.
    for (std::size_t depth = passed.size(); depth > 1; --depth) {
        const Identity& above = passed[depth - 2];
        UniqueFd parent(::openat(fd.get(), "..", kDirectoryFlags));
        struct stat st;
        if (!parent || ::fstat(parent.get(), &st) != 0 || st.st_dev != above.device || st.st_ino != above.inode) return;
        if (::unlinkat(parent.get(), components[depth - 2].c_str(), AT_REMOVEDIR) != 0) return;
        fd = std::move(parent);
    }
}

std::optional<PlatformError> write_all(int fd, const std::uint8_t* data, std::size_t size, const std::string& path) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return os_error(errno, "cannot write the key file", path);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return std::nullopt;
}

// A temporary file in the key's directory, removed when its holder ends (after the link
// has given the key its real name, or when the creation failed).
class TemporaryFile {
public:
    TemporaryFile(int directory, std::string name) noexcept : directory_(directory), name_(std::move(name)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { ::unlinkat(directory_, name_.c_str(), 0); }
    const std::string& name() const noexcept { return name_; }

private:
    int directory_;
    std::string name_;
};

}  // namespace

std::vector<std::string> key_file_path(std::string_view name) {
    std::string encoded;
    encoded.reserve(name.size() * 3);
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_literal(c)) {
            encoded += ch;
        } else {
            encoded += '_';
            encoded += kHexDigits[c >> 4];
            encoded += kHexDigits[c & 0xF];
        }
    }
    std::vector<std::string> components;
    std::size_t at = 0;
    while (encoded.size() - at > kComponentChars) {
        components.push_back(encoded.substr(at, kComponentChars));
        at += kComponentChars;
    }
    components.push_back(encoded.substr(at) + std::string(kKeySuffix));
    return components;
}

std::optional<std::string> name_of_key_file(const std::vector<std::string>& components) {
    if (components.empty()) return std::nullopt;
    std::string encoded;
    for (const std::string& c : components) encoded += c;
    if (encoded.size() < kKeySuffix.size() || encoded.compare(encoded.size() - kKeySuffix.size(), kKeySuffix.size(),
                                                              kKeySuffix) != 0) {
        return std::nullopt;
    }
    encoded.resize(encoded.size() - kKeySuffix.size());
    std::string name;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const auto c = static_cast<unsigned char>(encoded[i]);
        if (is_literal(c)) {
            name += encoded[i];
            continue;
        }
        if (c != '_' || encoded.size() - i < 3) return std::nullopt;
        const int high = hex_value(encoded[i + 1]);
        const int low = hex_value(encoded[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        name += static_cast<char>(high << 4 | low);
        i += 2;
    }
    // Only the one spelling that encoding produces maps back: no escaped letters, no
    // pieces cut anywhere else.
    if (key_file_path(name) != components) return std::nullopt;
    return name;
}

std::int32_t hresult_from_errno(int error_number) {
    std::uint32_t win32;
    switch (error_number) {
        case EPERM:
        case EACCES:
        case EISDIR: win32 = 5; break;  // ERROR_ACCESS_DENIED
        case ENOENT: win32 = 2; break;  // ERROR_FILE_NOT_FOUND
        case ENOTDIR: win32 = 3; break;  // ERROR_PATH_NOT_FOUND
        case EMFILE:
        case ENFILE: win32 = 4; break;  // ERROR_TOO_MANY_OPEN_FILES
        case EBADF: win32 = 6; break;  // ERROR_INVALID_HANDLE
        case ENOMEM: win32 = 14; break;  // ERROR_OUTOFMEMORY
        case EXDEV: win32 = 17; break;  // ERROR_NOT_SAME_DEVICE
        case EROFS: win32 = 19; break;  // ERROR_WRITE_PROTECT
        case ETXTBSY: win32 = 32; break;  // ERROR_SHARING_VIOLATION
        case ENOSYS:
        case EOPNOTSUPP: win32 = 50; break;  // ERROR_NOT_SUPPORTED
        case EEXIST: win32 = 80; break;  // ERROR_FILE_EXISTS
        case EINVAL: win32 = 87; break;  // ERROR_INVALID_PARAMETER
        case ENOSPC: win32 = 112; break;  // ERROR_DISK_FULL
        case EBUSY: win32 = 170; break;  // ERROR_BUSY
        case ENAMETOOLONG: win32 = 206; break;  // ERROR_FILENAME_EXCED_RANGE
        case EFBIG: win32 = 223; break;  // ERROR_FILE_TOO_LARGE
        case EIO: win32 = 1117; break;  // ERROR_IO_DEVICE
        case EMLINK: win32 = 1142; break;  // ERROR_TOO_MANY_LINKS
        case EDQUOT: win32 = 1295; break;  // ERROR_DISK_QUOTA_EXCEEDED
        case ELOOP: win32 = 1921; break;  // ERROR_CANT_RESOLVE_FILENAME
        default: return static_cast<std::int32_t>(0x80004005u);  // E_FAIL
    }
    return hresult_from_win32(win32);
}

PlatformError os_error(int error_number, std::string_view what, std::string_view path) {
    std::string text(what);
    text += " ";
    text += path;
    text += ": ";
    text += std::generic_category().message(error_number);
    return PlatformError::with_text(hresult_from_errno(error_number), std::move(text));
}

Outcome<std::string> store_directory_from_environment(const char* store_variable, std::string_view subdirectory) {
    const std::optional<std::string> store = request_variable(store_variable);
    if (store && !store->empty()) return *store;
    // Relative values of XDG_DATA_HOME are invalid and ignored.
    const std::optional<std::string> data_home = request_variable("XDG_DATA_HOME");
    if (data_home && data_home->starts_with('/')) return join(*data_home, "biometric/" + std::string(subdirectory));
    std::string home;
    if (std::optional<std::string> env_home = request_variable("HOME"); env_home && !env_home->empty()) {
        home = std::move(*env_home);
    } else {
        std::vector<char> buffer(16384);
        struct passwd entry;
        struct passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr) {
            home = found->pw_dir;
        }
    }
    if (home.empty()) {
        return PlatformError::with_text(static_cast<std::int32_t>(0x80070003u),  // ERROR_PATH_NOT_FOUND
                                        "no home directory for the key-credential store; set " + std::string(store_variable));
    }
    return join(home, ".local/share/biometric/" + std::string(subdirectory));
}

Outcome<bool> CredentialStore::contains(std::string_view name) const {
    const std::vector<std::string> components = key_file_path(name);
    Outcome<UniqueFd> directory = open_key_directory(directory_, components, false);
    if (!directory.ok()) return std::move(directory.error());
    if (!directory.value()) return false;
    struct stat st;
    if (::fstatat(directory.value().get(), components.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
    if (errno == ENOENT) return false;
    return os_error(errno, "cannot look up the key file", join(directory_, components.back()));
}

namespace {

// One attempt of CredentialStore::create.
Outcome<bool> store_key(const std::string& store, const std::vector<std::string>& components,
                        const SecretBytes& pem, bool replace) {
    Outcome<UniqueFd> opened = open_key_directory(store, components, true);
    if (!opened.ok()) return std::move(opened.error());
    const int directory = opened.value().get();
    const std::string& file_name = components.back();
    const std::string shown = join(store, file_name);

    std::optional<TemporaryFile> temporary;
    UniqueFd file;
    for (int attempt = 0; !file; ++attempt) {
        std::uint8_t random[8];
        if (crypto::random_bytes(random) != crypto::kOk) {
            return PlatformError::with_text(static_cast<std::int32_t>(0x80090020u),  // NTE_FAIL
                                            "no random bytes for a temporary file name");
        }
        std::string temporary_name = ".tmp-";
        for (std::uint8_t b : random) {
            temporary_name += kHexDigits[b >> 4];
            temporary_name += kHexDigits[b & 0xF];
        }
        file = UniqueFd(::openat(directory, temporary_name.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file) {
            temporary.emplace(directory, std::move(temporary_name));
        } else if (errno != EEXIST || attempt == 16) {
            return os_error(errno, "cannot create a temporary key file in", store);
        }
    }
    // The mode asked of open() is narrowed by the umask; the key file is 0600 whatever it is.
    if (::fchmod(file.get(), 0600) != 0) return os_error(errno, "cannot set the mode of the key file", shown);
    if (auto error = write_all(file.get(), pem.data(), pem.size(), shown)) return std::move(*error);
    if (::fsync(file.get()) != 0) return os_error(errno, "cannot flush the key file", shown);
    file.reset();

    if (replace) {
        if (::renameat(directory, temporary->name().c_str(), directory, file_name.c_str()) != 0) {
            return os_error(errno, "cannot store the key file", shown);
        }
    } else if (::linkat(directory, temporary->name().c_str(), directory, file_name.c_str(), 0) != 0) {
        if (errno == EEXIST) return false;
        return os_error(errno, "cannot store the key file", shown);
    }
    // The new name lasts across a crash only once the directory is flushed too; the key
    // is in place already, so a failure here is not reported.
    ::fsync(directory);
    return true;
}

}  // namespace

Outcome<bool> CredentialStore::create(std::string_view name, const SecretBytes& pem, bool replace) const {
    const std::vector<std::string> components = key_file_path(name);
    // A directory that vanishes on the way (ENOENT) was emptied out by the removal of
    // another name that shares it; the next attempt makes it again. Every attempt that
    // loses one lets some removal finish, so a few suffice.
    constexpr int kAttempts = 64;
    const std::int32_t vanished = hresult_from_errno(ENOENT);
    Outcome<bool> stored = store_key(directory_, components, pem, replace);
    for (int attempt = 1; attempt < kAttempts && !stored.ok() && stored.error().code() == vanished; ++attempt) {
        stored = store_key(directory_, components, pem, replace);
    }
    if (!stored.ok() || !stored.value()) remove_empty_directories(directory_, components);
    return stored;
}

Outcome<CredentialStore::Opened> CredentialStore::open(std::string_view name) const {
    const std::vector<std::string> components = key_file_path(name);
    Outcome<UniqueFd> directory = open_key_directory(directory_, components, false);
    if (!directory.ok()) return std::move(directory.error());
    Opened opened;
    if (!directory.value()) return opened;

    std::string shown = join(directory_, components.back());
    const auto unreadable = [&](std::string reason) {
        opened.state = Loaded::Unreadable;
        opened.reason = shown + ": " + reason;
        return std::move(opened);
    };
    // O_NONBLOCK: a FIFO planted under the name must not hang the open.
    UniqueFd file(::openat(directory.value().get(), components.back().c_str(),
                           O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file) {
        if (errno == ENOENT) return opened;
        return unreadable(std::generic_category().message(errno));
    }
    struct stat st;
    if (::fstat(file.get(), &st) != 0) return unreadable(std::generic_category().message(errno));
    if (!S_ISREG(st.st_mode)) return unreadable("not a regular file");
    if (std::string fault = untrusted(st, Trust::Own); !fault.empty()) return refusal("key file", shown, fault);
    if (st.st_size > kMaxKeyFileSize) return unreadable("too large for a key file");
    opened.state = Loaded::Found;
    opened.file = std::move(file);
    opened.identity = FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                                   static_cast<std::int64_t>(st.st_size), st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                                   st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
    opened.path = std::move(shown);
    return opened;
}

CredentialStore::Loaded CredentialStore::read(Opened& opened) {
    Loaded loaded;
    loaded.state = opened.state;
    if (opened.state != Loaded::Found) {
        loaded.reason = opened.reason;
        return loaded;
    }
    const auto unreadable = [&](std::string reason) {
        loaded.state = Loaded::Unreadable;
        loaded.reason = opened.path + ": " + reason;
        return std::move(loaded);
    };
    // One byte more than the size: a file that grows while it is read is not a key.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(opened.identity.size) + 1);
    std::size_t size = 0;
    while (size < bytes.size()) {
        ssize_t got = ::read(opened.file.get(), bytes.data() + size, bytes.size() - size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error_number = errno;
            SecretBytes wipe(std::move(bytes));
            return unreadable(std::generic_category().message(error_number));
        }
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
    }
    if (size == bytes.size()) {
        SecretBytes wipe(std::move(bytes));
        return unreadable("changed while it was read");
    }
    bytes.resize(size);
    loaded.pem = SecretBytes(std::move(bytes));
    return loaded;
}

Outcome<CredentialStore::Loaded> CredentialStore::load(std::string_view name) const {
    Outcome<Opened> opened = open(name);
    if (!opened.ok()) return std::move(opened.error());
    return read(opened.value());
}

Outcome<bool> CredentialStore::remove(std::string_view name) const {
    const std::vector<std::string> components = key_file_path(name);
    Outcome<UniqueFd> directory = open_key_directory(directory_, components, false);
    if (!directory.ok()) return std::move(directory.error());
    if (!directory.value()) return false;
    if (::unlinkat(directory.value().get(), components.back().c_str(), 0) == 0) {
        // As for creation: the key is gone already, so a failed flush is not reported.
        ::fsync(directory.value().get());
        remove_empty_directories(directory_, components);
        return true;
    }
    if (errno == ENOENT) return false;
    return os_error(errno, "cannot remove the key file", join(directory_, components.back()));
}

}  // namespace bio::local
