// Room on the install folder's volume for a run, worked out before anything is fetched, so that a
// full disk is refused with nothing written rather than met part-way.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "site/file_list.h"

// The most the run may hold on disk at once, from the list and the installed files' sizes alone: a
// listed file that is missing or of another size comes as a new file beside the old (a temporary,
// or a part built over runs), and the old one goes only when its batch is committed, so every such
// file counts whole, less what its kept part holds already; the largest of them counts once more
// for the package it may come in. A file of the listed size counts nothing: the check may find it
// current. installed gives each listed file's size on disk (nothing when it is missing); target
// maps a listed file to the path it is written to.
std::uint64_t SpaceNeeded(const FileList& list,
                          const std::vector<std::optional<std::uint64_t>>& installed,
                          const std::function<std::tstring(const FileEntry&)>& target);

// Throws the disk's failure, naming the volume and the megabytes to free, when the install folder's
// volume has less than needed bytes free. A volume whose room cannot be read is not refused.
void RequireSpace(std::uint64_t needed);

// The megabytes (rounded up, at least 1) to free on the install folder's volume for needed bytes;
// empty when its room cannot be read or suffices.
std::string MegabytesShort(std::uint64_t needed);
