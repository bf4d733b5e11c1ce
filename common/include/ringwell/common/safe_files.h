// Files below the storage root, never reached through a symbolic link.
//
// A member of the spool's group can plant a symbolic link anywhere it may
// write (Inbox, Reports, a request directory, the file store). A daemon that
// followed it would read, create or delete files elsewhere with its own
// rights. So every storage root a process reads from the configuration is
// registered here (RegisterStorageRoot), and every operation below on a path
// that lies below a registered root walks from the root directory one
// component at a time with O_NOFOLLOW: a symbolic link at any component after
// the root, or a ".." component, fails the operation with the status
// SymbolicLinkRefused() (the ELOOP code) and touches nothing. The root's own path is taken as
// configured (the administrator may well place it behind a link).
//
// For a path below no registered root the operations behave like the plain
// system calls, except where a function says it never follows a link.
//
// These are the path primitives: the whole-file helpers of files.h
// (ReadWholeFile, WriteFileAtomically, FileLock, MakeUniqueFile,
// CopyRegularFile, and so the XML load and save) are built on them and go
// through them, so every component that reads or writes the storage gets the
// rule. Nothing here uses files.h.
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "ringwell/common/hresult.h"
#include "ringwell/common/unique_fd.h"

namespace ringwell {

// The status of an operation refused because it met a symbolic link (or a
// ".." component) below the storage root.
HRESULT SymbolicLinkRefused();
inline bool IsSymbolicLinkRefusal(HRESULT hr) { return hr == SymbolicLinkRefused(); }

// The status code for `err` raised by an operation on `path`: ENOENT becomes
// path-not-found when the directory of `path` does not exist.
HRESULT HresultForPathError(int err, const std::string& path);

// The directory part of a path including its last "/" (empty when none), and
// the part after it.
std::string DirectoryOf(const std::string& path);
std::string BaseNameOf(const std::string& path);

// Registers `root` (an absolute path; "/" is appended when missing). The
// root "/" itself is never registered: it would make every path strict.
void RegisterStorageRoot(std::string root);
// True when `path` lies below a registered root.
bool IsBelowStorageRoot(const std::string& path);

// The directory that holds the last component of `path`, reached as
// described above, and that component's name in *leaf (empty when `path`
// ends with "/"; the descriptor is then the directory itself).
HRESULT OpenParentDirectory(const std::string& path, UniqueFd* dir, std::string* leaf);

// The mode for a new file in the open directory `dir`: `mode`, plus read and
// write for the group when `dir` is shared by its group (set-group-ID, as the
// storage root's directories are), whatever the umask of the file's maker, so
// that the daemon and the group's other members can use what one member made.
mode_t ModeInDirectory(int dir, mode_t mode);

// Creates a new file named prefix + six random letters or digits + suffix
// in the open directory `dir` (never through a link); its name in *name. Its
// mode is `mode` less the umask, with ModeInDirectory's addition.
HRESULT CreateUniqueFileAt(int dir, std::string_view prefix, std::string_view suffix, mode_t mode,
                           std::string* name, UniqueFd* fd);

// open(2): `flags` and `mode` as for open; O_NOFOLLOW is added for a path
// below a registered root. O_CLOEXEC is always added.
HRESULT OpenFile(const std::string& path, int flags, mode_t mode, UniqueFd* fd);

// lstat(2) with the parent reached as above: a link is reported, not followed.
HRESULT LinkStatus(const std::string& path, struct stat* st);

// Whether there is an entry of any kind at `path` (a link counts), a regular
// file, a directory. The last two follow a link outside a registered root and
// never below one.
bool FileExists(const std::string& path);
bool IsRegularFile(const std::string& path);
bool IsDirectory(const std::string& path);

// unlink(2), rmdir(2), mkdir(2): none of them follows the last component.
HRESULT RemoveFile(const std::string& path);
HRESULT RemoveDirectory(const std::string& path);
HRESULT MakeDirectory(const std::string& path, mode_t mode = 0777);

// rename(2) of one entry to another; with `replace` false an existing target
// fails the rename (ERROR_FILE_EXISTS) instead of being replaced.
HRESULT RenameEntry(const std::string& from, const std::string& to, bool replace = true);

// fsync(2) of a directory, so that entries made or removed in it last.
HRESULT SyncDirectory(const std::string& path);
// syncfs(2) through the directory `path`: everything written, made, renamed
// or removed on its file system so far reaches the disk in one step.
HRESULT SyncFileSystem(const std::string& path);

struct DirectoryEntry {
  enum class Type { kFile, kDirectory, kLink, kOther };
  std::string name;
  Type type;
};

// The entries of directory `path` (without "." and ".."), as listed. A
// directory that is itself a link is refused, wherever it lies.
HRESULT ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries);

// Deletes every file in directory `path` (links are deleted as links, never
// followed; subdirectories stay) and then the directory if it is empty. The
// directory itself must not be a link, wherever it lies. S_OK when the
// directory is gone, S_FALSE when something stayed.
HRESULT RemoveDirectoryFiles(const std::string& path);

}  // namespace ringwell
