// Where the stand-in keeps its key credentials: one PKCS#8 PEM file per credential in a
// per-user directory, named by a reversible encoding of the credential's name.
//
// File names. The UTF-8 bytes of the name are written as [a-z0-9-] where they are those
// characters, and as "_" and two lower-case hex digits otherwise ("Alice" -> "_41lice",
// "a/b" -> "a_2fb"), then ".key" is appended. The encoding uses no "/" and no "." of its
// own, so no name can make "", ".", ".." or a path outside the store, and it is free of
// upper case, so it also holds on case-insensitive file systems. A name can encode to
// up to three times its length, and a file name may have at most 255 bytes: an encoding
// longer than kComponentChars is cut into pieces of kComponentChars, all but the last of
// which become nested directories ("<240 chars>/<240 chars>/<rest>.key"). Directories
// never end in ".key" and key files always do, so the two cannot meet. Decoding joins
// the pieces again; the empty name is the file ".key".
//
// Location: $BIOMETRIC_STANDIN_STORE if set and not empty, else
// $XDG_DATA_HOME/biometric/credentials (an absolute XDG_DATA_HOME only), else
// ~/.local/share/biometric/credentials. Directories are created 0700 as needed and key
// files 0600.
//
// Creation is atomic: the key is written to a temporary file in the same directory and
// flushed, then hard-linked to its name. Of two processes creating the same name, the
// second link fails with EEXIST, so exactly one succeeds and no reader ever sees a
// partial file. A crash can leave a ".tmp-*" file behind; it is never read. Removal is
// one unlink of the key file: a reader sees the whole key or none.
//
// A long name's directories go when its key goes, or when its creation fails: each is
// removed while it is empty, deepest first. One that holds another name's key (or the
// temporary file of a creation) is not empty and stays. A creation that finds a
// directory gone under it (ENOENT) starts again, a bounded number of times, so a removal
// never fails a concurrent creation of a name that shares directories with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bio_windows.h"
#include "local/secret_bytes.h"
#include "local/unique_fd.h"

namespace bio::local {

inline constexpr std::size_t kComponentChars = 240;
inline constexpr std::string_view kKeySuffix = ".key";

// What tells one version of a file's contents from another without reading them: the
// file (device and inode), its size, and the times of its last write and of its last
// change of any kind, to the nanosecond. The change time cannot be set by anyone, so
// contents rewritten in place with the old write time restored still differ.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modified_seconds = 0;
    std::int64_t modified_nanoseconds = 0;
    std::int64_t changed_seconds = 0;
    std::int64_t changed_nanoseconds = 0;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The key file of `name` as path components relative to the store.
std::vector<std::string> key_file_path(std::string_view name);

// The name whose key file is at `components`, or nullopt when no name maps there.
std::optional<std::string> name_of_key_file(const std::vector<std::string>& components);

// The platform's HRESULT for an OS error: 0x80070000 | the Win32 error that Windows
// reports for the same condition (EACCES -> ERROR_ACCESS_DENIED -> 0x80070005), or
// E_FAIL when there is no counterpart.
std::int32_t hresult_from_errno(int error_number);

// A PlatformError for a failed OS call, with its text for the debug form.
PlatformError os_error(int error_number, std::string_view what, std::string_view path);

inline constexpr const char* kStoreVariable = "BIOMETRIC_STANDIN_STORE";

// The store directory that the environment names: `store_variable`, else
// biometric/<subdirectory> under XDG_DATA_HOME, else under HOME/.local/share (or the
// user's home directory). The TPM platform keeps its own store the same way.
inline constexpr const char* kStoreDirectoryVariables[] = {kStoreVariable, "XDG_DATA_HOME", "HOME"};
Outcome<std::string> store_directory_from_environment(const char* store_variable = kStoreVariable,
                                                      std::string_view subdirectory = "credentials");

class CredentialStore {
public:
    explicit CredentialStore(std::string directory) : directory_(std::move(directory)) {}

    const std::string& directory() const noexcept { return directory_; }

    // Whether a key file exists under `name`.
    Outcome<bool> contains(std::string_view name) const;

    // Stores `pem` under `name`, creating directories as needed. Yields false, writing
    // nothing, when `replace` is false and a key exists under the name already.
    Outcome<bool> create(std::string_view name, const SecretBytes& pem, bool replace) const;

    struct Loaded {
        enum State { Found, NotFound, Unreadable } state = NotFound;
        SecretBytes pem;     // Found
        std::string reason;  // Unreadable
    };
    // Reads the key file of `name`. The file is only ever read.
    Outcome<Loaded> load(std::string_view name) const;

    // Removes the key file of `name` with one unlink, then its emptied directories: false
    // when there is none. Only the file's own name goes; what a symbolic link there points
    // to is left alone.
    Outcome<bool> remove(std::string_view name) const;

    struct Opened {
        Loaded::State state = Loaded::NotFound;
        UniqueFd file;          // Found: open for reading
        FileIdentity identity;  // Found: of the open file, from one fstat
        std::string path;       // Found: for messages
        std::string reason;     // Unreadable
    };
    // Opens the key file of `name` for reading, and tells which version of it is open:
    // load() in two steps, so that a caller who knows that version need not read it.
    Outcome<Opened> open(std::string_view name) const;
    // Reads the whole of an opened key file; Unreadable if it grows while it is read.
    static Loaded read(Opened& opened);

private:
    std::string directory_;
};

}  // namespace bio::local
