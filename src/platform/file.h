// Disk files and folders. Paths are in the system's internal form (path.h); each call resolves its
// path with ResolvePath first, so a name that does not exist with its exact letter case is found
// without regard to case, as on Windows.
//
// Sharing: two opens with Share::kDenyWrite conflict when either writes, and the later one fails
// with OpenError::kDenied, on both systems. On Windows this is the system's sharing mode, which
// also keeps out every other writer while a kDenyWrite open is held, whichever program opens it;
// POSIX has no sharing modes, so there it is an advisory lock that only kDenyWrite opens through
// this class honour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/native_handle.h"

namespace platform {

enum class Access { kRead, kWrite, kReadWrite };
enum class Share { kReadWrite, kDenyWrite };
enum class Disposition {
  kOpenExisting,  // fail when absent
  kCreateAlways,  // create, or truncate what is there
  kCreateNew,     // fail with kExists when present
  kOpenAlways,    // create when absent, keep what is there
};
enum class OpenError { kNone, kDenied, kExists, kOther };
// Numbered as the origins of the C library and of the package files' own Seek.
enum class SeekFrom { kStart = 0, kCurrent = 1, kEnd = 2 };

// One open file. Owns its handle; not copyable; one thread at a time.
class File {
 public:
  File() = default;
  ~File();
  File(File&&) noexcept = default;
  File& operator=(File&&) noexcept = default;

  // Closes what was open first. New files get read and write permission (before the umask).
  // Pipes, devices and sockets are refused (kOther) without waiting for a peer.
  OpenError Open(const std::string& path, Access access, Share share, Disposition disposition);
  void Close();
  bool IsOpen() const { return handle_.Valid(); }

  // Reads up to count bytes, fewer only at the end of the file; -1 on an error.
  std::int64_t Read(void* buffer, std::size_t count);
  // Writes all count bytes; returns how many were written, fewer when the system refused the rest.
  std::size_t Write(const void* buffer, std::size_t count);
  // The new position, or -1 (the position stays).
  std::int64_t Seek(std::int64_t offset, SeekFrom from);
  std::int64_t Tell() const;
  // The file's current length, or -1.
  std::int64_t Length() const;
  // Makes the written bytes durable; false on failure.
  bool Sync();

 private:
  friend class ReplacementFile;
  friend class ReplacementBatch;
  friend class ResumableFile;
  // For those: puts this file, written under the system name from, in target's place (the
  // permission bits passed on, the bytes made durable, renamed in one step) and closes it. False
  // on failure, when the file under from stays (and may stay open).
  bool MoveInPlace(const std::string& from, const std::string& target);
  // The second half of MoveInPlace: the close and the rename.
  bool PutInPlace(const std::string& from, const std::string& target);
  // Closes this file and removes what was written under the system name, unless it is empty;
  // the name is then cleared.
  void CloseAndRemove(std::string& name);
  // Starts the system writing the bytes out, without waiting for it, so that a later sync has
  // little left to wait for (nothing on systems without such a call).
  void StartWriteOut(std::uint64_t offset, std::uint64_t length);
  // How many bytes a replacement writes before it starts their write-out.
  static constexpr std::uint64_t kWriteOutStep = 8 << 20;

  NativeHandle handle_;
};

// A new version of a file, written beside it (same folder, a hidden unique name) and put in its
// place in one step by Commit, so that readers see either the old or the new file and a crash
// never leaves a truncated file where a good one was. Until Commit the destination is untouched;
// a ReplacementFile that goes without Commit removes what it wrote. Not copyable.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile();
  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&& other) noexcept;

  // Creates the new file for destination; false when it cannot be created, or when destination
  // is a pipe, device or socket.
  bool Create(const std::string& destination);
  // As File::Write. The system starts writing the bytes out as they come, so that Commit's sync
  // has little left to wait for.
  std::size_t Write(const void* buffer, std::size_t count);
  // Puts the new file in place. A destination that exists passes its permission bits on, the new
  // bytes are made durable before the rename (the folder is not: see SyncFolder); a new file whose
  // first bytes are an ELF header or "#!" gets execute bits where it has read bits. False on
  // failure; the new file is then removed.
  bool Commit();

 private:
  friend class ReplacementBatch;
  void Discard();

  File file_;
  std::uint64_t written_ = 0;
  std::uint64_t written_out_ = 0;  // the bytes whose write-out has been started
  std::string temp_;               // system form; empty once committed or discarded
  std::string target_;             // system form, resolved when created
};

// Replacement files put in place together, so that making them durable costs one pass over the
// batch instead of a wait per file: each file's write-out is started when it joins, all are synced
// together at Commit (on Linux one sync of their file system, which the disk writes in one pass),
// then each is renamed over its destination. Until Commit every destination is
// untouched; a batch that goes without Commit removes its files. Not copyable.
class ReplacementBatch {
 public:
  ReplacementBatch() = default;
  ReplacementBatch(const ReplacementBatch&) = delete;
  ReplacementBatch& operator=(const ReplacementBatch&) = delete;

  // Keeps a written file (not yet committed) for the next Commit.
  void Add(ReplacementFile file);
  // Holds enough files or bytes that a Commit is due: the files stay open until then.
  bool Full() const;
  // Makes every file durable, then puts each in its destination's place. False on failure, with
  // the destination that failed (system form) in failed: when a file could not be made durable,
  // no file of the batch was renamed; every file not renamed is removed. The batch is empty after.
  bool Commit(std::string& failed);

 private:
  static constexpr std::size_t kFiles = 256;
  static constexpr std::uint64_t kBytes = 256 << 20;

  std::vector<ReplacementFile> files_;
  std::uint64_t bytes_ = 0;
};

// The fixed hidden name under which a resumable new version of `name` (a file name, no folder)
// is kept beside it: ".<name>.rv7new.part", marked as the replacements' names are, so that a
// game's own ".<name>.part" is never taken for one. Never a name that ReplacementName makes, so
// the clean-up of abandoned replacements leaves it alone.
std::string ResumablePartName(const std::string& name);
// name (no folder) is one that ResumablePartName makes.
bool IsResumablePartName(const std::string& name);

// A new version of a file built over one or more runs: kept under ResumablePartName beside the
// destination, which stays untouched until Commit. Unlike ReplacementFile, the part file is KEPT
// when the object goes without Commit (a cut run leaves what it wrote for the next run), and is
// removed only by Remove. Not copyable. One writer at a time (the engine holds the install's
// single-instance lock). Nothing is synced before Commit: after a power loss the part's tail may
// hold bytes that were never written, so a run checks what it keeps of a part before using it.
class ResumableFile {
 public:
  ResumableFile() = default;
  ~ResumableFile();  // closes; keeps the part file
  ResumableFile(const ResumableFile&) = delete;
  ResumableFile& operator=(const ResumableFile&) = delete;

  // Opens the part file of destination (internal path form, as ReplacementFile::Create takes),
  // creating it empty when there is none, for reading and writing. A link (hard or symbolic), pipe,
  // device or socket under the part's name is removed, never written through, and an empty part
  // made in its place. false when it cannot be opened or created, when a folder stands under the
  // part's name, or when destination is a pipe, device, socket, folder or link.
  bool Open(const std::string& destination);
  std::uint64_t Length() const;  // the part's current length in bytes (0 when not open)
  // Reads up to count bytes at offset, fewer only at the end; the bytes read (0 at the end), -1 on
  // failure. The write position stays where it was.
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t count);
  // Cuts the part to length (never lengthens: a longer length fails) and puts the write position
  // there; false on failure.
  bool Truncate(std::uint64_t length);
  // Appends at the write position, as File::Write answers (a short count is a failure: full disk).
  // Open puts the write position at the end of the part, so a run continues what the last wrote.
  std::size_t Write(const void* buffer, std::size_t count);
  // As ReplacementFile::Commit: permission bits of an existing destination passed on (execute bits
  // for a new ELF or "#!" file as ReplacementFile does), the bytes made durable, then renamed over
  // the destination in one step. false on failure; the part file is then KEPT (complete, it can
  // be committed by the next run), and the object may be closed.
  bool Commit();
  // Closes and removes the part file (it belongs to a version no longer wanted).
  void Remove();

 private:
  File file_;
  std::uint64_t written_out_ = 0;  // the bytes whose write-out has been started
  std::string part_;               // system form; empty once committed or removed
  std::string target_;             // system form, resolved when opened
};

// An existing path with the letter case found on disk, in the system's form (slashes). Components
// that exist with the given case are kept as they are; a missing component is matched against its
// folder's entries without regard to case; one that matches nothing keeps the case it was given.
std::string ResolvePath(const std::string& internal);

// The absolute form of a path: relative paths are taken from the current folder, "." and ".."
// components are resolved by name (as the system's full-path function does, without following
// links). Internal form in and out.
std::string GetFullPath(const std::string& internal);

// The absolute path of an existing file or folder as the system finds it: every link (and
// junction) on its way followed, each name with its letter case on disk, no "." or "..". Internal
// form; nothing when the path does not exist or cannot be resolved.
std::optional<std::string> RealPath(const std::string& internal);

// Makes folder the process's current folder, against which relative paths are resolved.
bool SetCurrentFolder(const std::string& internal);

bool IsDirectory(const std::string& internal);
// True when the path leads, through links, to a regular file.
bool IsRegularFile(const std::string& internal);
// True when anything stands at the path: a file, a folder, a link (also one that leads nowhere).
bool PathExists(const std::string& internal);
// True when the path leads to a pipe, a device or a socket, which hold no file contents.
bool IsSpecialFile(const std::string& internal);
// Makes a folder's entries (names created, renamed or removed in it) durable; false on failure.
bool SyncFolder(const std::string& internal);
// Removes the new files that ReplacementFile objects of processes no longer running left in
// folder (a crash or a kill before Commit). Those of running processes stay. How many went.
int RemoveAbandonedReplacements(const std::string& internal_folder);
// The whole content of a regular file (meant for small ones, such as settings); nothing when the
// file cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& internal);
bool MakeDirectory(const std::string& internal);
bool RemoveFile(const std::string& internal);

struct DirectoryItem {
  std::string name;
  bool is_directory;
  bool is_link = false;  // a link (or junction) to the file or folder

  bool operator==(const DirectoryItem&) const = default;
};
// The files and folders in a folder, without "." and ".." and without pipes, sockets, devices and
// (unless asked for) links to folders, in the order the system lists them; false when the folder
// cannot be listed.
bool ListDirectory(const std::string& internal, std::vector<DirectoryItem>* items,
                   bool with_folder_links = false);

}  // namespace platform
