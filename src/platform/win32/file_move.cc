#include "platform/file_move.h"

#include <windows.h>

#include "platform/file.h"
#include "platform/win32/wide.h"

namespace platform {

// Windows files carry no permission bits to pass on; the rename itself is written through before
// the call returns.
bool MoveFileReplacing(const std::string& source, const std::string& destination) {
  return MoveFileExW(Wide(ResolvePath(source)).c_str(), Wide(ResolvePath(destination)).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace platform
