// The Windows error a POSIX file call's errno stands for. The Linux layer
// reports its file errors so, and the simulated PC, which reads the host's
// files for the program, answers as the Linux layer would.
#pragma once

#include <cerrno>

#include "platform/win_types.h"

namespace odf::win {

inline DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace odf::win
