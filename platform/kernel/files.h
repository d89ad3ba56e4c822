// The NT file namespace of the simulated machine: NT path prefixes (a volume such as
// \Device\HarddiskVolume1) mapped to host directories, behind ZwCreateFile and ZwReadFile.
// Handles live in the table registry keys use (ZwClose closes either). Not a file system model:
// no sharing modes, attributes, locks or asynchronous I/O; reads are synchronous.
//
// Names: the part of an NT path after its prefix is looked up one component at a time, exact
// case first, else the first name in byte order that matches without regard to ASCII case (NT
// volumes do not tell case apart; host directories do). Components "." and "..", characters
// the platform forbids in file names (control characters, " * / : < > ? |) and empty
// components are refused with STATUS_OBJECT_NAME_INVALID, so no path leaves its mapped
// directory; a host symbolic link that leads out of it is refused with STATUS_ACCESS_DENIED.
// Only absolute paths are taken (RootDirectory must be NULL: STATUS_INVALID_PARAMETER).
//
// Statuses: an unmapped prefix or a missing directory on the way gives
// STATUS_OBJECT_PATH_NOT_FOUND; a missing last component STATUS_OBJECT_NAME_NOT_FOUND (for
// FILE_OPEN and FILE_OVERWRITE). A read at or past the end gives STATUS_END_OF_FILE with
// Information 0; otherwise Information is the number of bytes read (fewer than asked at the
// end). A read of zero bytes succeeds with nothing read.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

#include "kernel/simulation.h"

namespace lumo::kernel {

class FileNamespace : public Component {
 public:
  explicit FileNamespace(Simulation& sim);

  // Maps `ntPrefix` to `hostDirectory` (which must exist). A later mapping of the same prefix
  // replaces the earlier one; the longest matching prefix wins.
  void Map(const std::u16string& ntPrefix, const std::string& hostDirectory);
  // The host path of an NT path, or the failure status of ZwCreateFile for it. With
  // `mustExist` false a missing last component is allowed (its name as given).
  NTSTATUS Resolve(const std::u16string& ntPath, bool mustExist, std::string* hostPath) const;

  // --- The platform calls' bodies ------------------------------------------------------------
  NTSTATUS CreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK iosb, ULONG disposition, ULONG options);
  NTSTATUS ReadFile(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length,
                    PLARGE_INTEGER byteOffset);

 private:
  struct Mapping {
    std::u16string prefix;  // without a trailing backslash
    std::string hostRoot;   // canonical
  };
  Simulation& sim_;
  std::vector<Mapping> mappings_;
};

}  // namespace lumo::kernel
