// The system calls under the file code, one function each, for the platform library's own use: the
// portable file code (file.cc) is written once over them, and posix/ and win32/ implement them.
// Paths are in the system's form (ResolvePath's answer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/native_handle.h"

namespace platform::native {

#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// Path arithmetic on the system's form. FolderOf is empty for a bare name and the root itself for
// a name in the root.
std::string Join(const std::string& folder, const std::string& name);
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);

// Opens as File::Open promises (sharing, refusal of pipes, devices and folders); error tells why
// nothing was opened.
NativeHandle Open(const std::string& path, Access access, Share share, Disposition disposition,
                  OpenError& error);
// A new file for reading and writing that nobody else may write; exists tells whether the name
// was taken, when nothing was created.
NativeHandle CreateNew(const std::string& path, bool& exists);
// Opens the file at path for reading and writing, creating it empty when absent. Only a plain file
// of one name is opened: anything else there (a link of either kind, a pipe, a device, a folder)
// is refused without being followed or acted on, and foreign tells when such a thing stands there.
NativeHandle OpenPlain(const std::string& path, bool& foreign);

// One read or write of at most count bytes: what was moved, 0 at the end of a read, -1 on failure.
std::int64_t ReadSome(const NativeHandle& file, void* buffer, std::size_t count);
std::int64_t WriteSome(const NativeHandle& file, const void* bytes, std::size_t count);
std::int64_t Seek(const NativeHandle& file, std::int64_t offset, SeekFrom from);
std::int64_t Length(const NativeHandle& file);
bool Sync(const NativeHandle& file);
// Makes several files durable together: where the system can, with one sync of each file system
// they are on, so that the disk writes them in one pass instead of a wait per file.
bool SyncAll(const std::vector<const NativeHandle*>& files);
// Sets the end of the file at length; the position is left undefined.
bool Truncate(const NativeHandle& file, std::uint64_t length);
// Starts writing the bytes out without waiting (nothing where the system has no such call).
void StartWriteOut(const NativeHandle& file, std::uint64_t offset, std::uint64_t length);
// Gives a new file the permission bits it needs once it stands at target.
bool TakeModeOf(const NativeHandle& file, const std::string& target);
// Puts the closed file from in target's place in one step, replacing what was there.
bool RenameOver(const std::string& from, const std::string& target);
bool Remove(const std::string& path);

// What stands at a path, links followed. kSpecial: a pipe, a device or a socket, which hold no
// file contents (on Windows also the device names that every folder has, such as "CON").
enum class Kind { kNothing, kFile, kFolder, kSpecial };
Kind KindOf(const std::string& path);
// Nothing, or a plain file (not a link, a folder or a device) stands at path.
bool IsPlainOrAbsent(const std::string& path);

}  // namespace platform::native
