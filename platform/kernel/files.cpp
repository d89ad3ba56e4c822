// ZwCreateFile and ZwReadFile over host directories mapped into the NT namespace. See files.h
// for the name rules and statuses.
#include "kernel/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>

#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/registry.h"

namespace lumo::kernel {
namespace {

namespace fs = std::filesystem;

constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;

std::u16string Fold(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return folded;
}

std::string FoldAscii(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

bool ValidComponent(std::u16string_view component) {
  if (component.empty() || component == u"." || component == u"..") return false;
  for (char16_t c : component) {
    if (c < 0x20 || c == u'"' || c == u'*' || c == u'/' || c == u':' || c == u'<' || c == u'>' ||
        c == u'?' || c == u'|' || c == u'\\') {
      return false;
    }
  }
  return true;
}

// `inner` is `root` or lies below it.
bool IsWithin(const fs::path& inner, const fs::path& root) {
  fs::path relative = inner.lexically_relative(root);
  if (relative.empty()) return false;
  auto first = relative.begin();
  return first == relative.end() || *first != "..";
}

struct FileHandle : HandleTable::Object {
  int fd = -1;
  bool directory = false;
  ACCESS_MASK access = 0;
  uint64_t position = 0;
  std::u16string ntPath;
  ~FileHandle() override {
    if (fd >= 0) ::close(fd);
  }
  std::string Describe() const override { return "file " + ToUtf8(ntPath); }
};

NTSTATUS StatusOfErrno(int error) {
  switch (error) {
    case ENOENT:
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
      return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return STATUS_ACCESS_DENIED;
    case EEXIST:
      return STATUS_OBJECT_NAME_COLLISION;
    case EISDIR:
      return STATUS_FILE_IS_A_DIRECTORY;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

}  // namespace

FileNamespace::FileNamespace(Simulation& sim) : sim_(sim) {}

void FileNamespace::Map(const std::u16string& ntPrefix, const std::string& hostDirectory) {
  std::u16string prefix = ntPrefix;
  while (prefix.size() > 1 && prefix.back() == u'\\') prefix.pop_back();
  std::error_code error;
  fs::path root = fs::weakly_canonical(hostDirectory, error);
  if (error) root = fs::absolute(hostDirectory);
  for (Mapping& mapping : mappings_) {
    if (Fold(mapping.prefix) == Fold(prefix)) {
      mapping.hostRoot = root.string();
      return;
    }
  }
  mappings_.push_back({prefix, root.string()});
}

NTSTATUS FileNamespace::Resolve(const std::u16string& ntPath, bool mustExist,
                                std::string* hostPath) const {
  if (ntPath.empty() || ntPath[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  const Mapping* best = nullptr;
  std::u16string folded = Fold(ntPath);
  for (const Mapping& mapping : mappings_) {
    std::u16string prefix = Fold(mapping.prefix);
    if (folded.compare(0, prefix.size(), prefix) != 0) continue;
    if (folded.size() != prefix.size() && folded[prefix.size()] != u'\\') continue;
    if (best == nullptr || mapping.prefix.size() > best->prefix.size()) best = &mapping;
  }
  if (best == nullptr) return STATUS_OBJECT_PATH_NOT_FOUND;

  std::vector<std::u16string> components;
  size_t start = best->prefix.size();
  if (start < ntPath.size()) {
    ++start;  // the backslash after the prefix
    while (true) {
      size_t end = ntPath.find(u'\\', start);
      std::u16string component =
          ntPath.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
      if (!ValidComponent(component)) return STATUS_OBJECT_NAME_INVALID;
      components.push_back(component);
      if (end == std::u16string::npos) break;
      start = end + 1;
    }
  }

  fs::path root(best->hostRoot);
  fs::path path = root;
  std::error_code error;
  for (size_t i = 0; i < components.size(); ++i) {
    const bool last = i + 1 == components.size();
    std::string name = ToUtf8(components[i]);
    if (!fs::is_directory(path, error)) return STATUS_OBJECT_PATH_NOT_FOUND;
    fs::path exact = path / name;
    if (fs::exists(fs::symlink_status(exact, error))) {
      path = exact;
      continue;
    }
    // NT names ignore case: take the first host name in byte order that matches.
    std::vector<std::string> matches;
    std::string wanted = FoldAscii(name);
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
      std::string candidate = it->path().filename().string();
      if (FoldAscii(candidate) == wanted) matches.push_back(candidate);
    }
    if (!matches.empty()) {
      std::sort(matches.begin(), matches.end());
      path /= matches.front();
      continue;
    }
    if (!last) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (mustExist) return STATUS_OBJECT_NAME_NOT_FOUND;
    path = exact;
  }

  // A host symbolic link may lead elsewhere: what is opened must stay inside the mapping.
  fs::path real = fs::weakly_canonical(path, error);
  if (error || !IsWithin(real, root)) return STATUS_ACCESS_DENIED;
  *hostPath = path.string();
  return STATUS_SUCCESS;
}

NTSTATUS FileNamespace::CreateFile(PHANDLE handle, ACCESS_MASK access,
                                   POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb,
                                   ULONG disposition, ULONG options) {
  CheckPassiveLevel(sim_, "ZwCreateFile");
  if (handle == nullptr || attributes == nullptr || attributes->ObjectName == nullptr ||
      iosb == nullptr || attributes->RootDirectory != nullptr || disposition > FILE_OVERWRITE_IF ||
      attributes->ObjectName->Length % 2 != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string ntPath = FromUnicodeString(attributes->ObjectName);
  std::string hostPath;
  NTSTATUS status = Resolve(ntPath, false, &hostPath);
  if (!NT_SUCCESS(status)) return status;

  struct stat info {};
  bool exists = ::stat(hostPath.c_str(), &info) == 0;
  bool directory = exists && S_ISDIR(info.st_mode);
  ULONG_PTR result = FILE_OPENED;
  int flags = O_CLOEXEC;
  bool makeDirectory = false;
  if (exists) {
    if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
    if (directory && (options & FILE_NON_DIRECTORY_FILE) != 0) return STATUS_FILE_IS_A_DIRECTORY;
    if (!directory && (options & FILE_DIRECTORY_FILE) != 0) return STATUS_NOT_A_DIRECTORY;
    if (directory) {
      if (disposition != FILE_OPEN && disposition != FILE_OPEN_IF) return STATUS_INVALID_PARAMETER;
      flags |= O_RDONLY | O_DIRECTORY;
    } else if (disposition == FILE_OPEN || disposition == FILE_OPEN_IF) {
      flags |= O_RDONLY;
    } else {
      flags |= O_RDWR | O_TRUNC;
      result = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
    }
  } else {
    if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    result = FILE_CREATED;
    if ((options & FILE_DIRECTORY_FILE) != 0) {
      makeDirectory = true;
      directory = true;
      flags |= O_RDONLY | O_DIRECTORY;
    } else {
      flags |= O_RDWR | O_CREAT | O_EXCL;
    }
  }
  if (makeDirectory && ::mkdir(hostPath.c_str(), 0755) != 0) return StatusOfErrno(errno);
  int fd = ::open(hostPath.c_str(), flags, 0644);
  if (fd < 0) return StatusOfErrno(errno);

  auto file = std::make_unique<FileHandle>();
  file->fd = fd;
  file->directory = directory;
  file->access = access;
  file->ntPath = ntPath;
  *handle = sim_.Get<HandleTable>().Insert(std::move(file));
  iosb->Status = STATUS_SUCCESS;
  iosb->Information = result;
  return STATUS_SUCCESS;
}

NTSTATUS FileNamespace::ReadFile(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length,
                                 PLARGE_INTEGER byteOffset) {
  CheckPassiveLevel(sim_, "ZwReadFile");
  HandleTable& handles = sim_.Get<HandleTable>();
  HandleTable::Object* object = handles.Find(handle);
  if (object == nullptr) return STATUS_INVALID_HANDLE;
  auto* file = dynamic_cast<FileHandle*>(object);
  if (file == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
  if (iosb == nullptr || (buffer == nullptr && length != 0)) return STATUS_INVALID_PARAMETER;
  if ((file->access & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | kMaximumAllowed)) == 0) {
    return STATUS_ACCESS_DENIED;
  }
  if (file->directory) return STATUS_INVALID_DEVICE_REQUEST;

  uint64_t offset = file->position;
  if (byteOffset != nullptr &&
      !(byteOffset->u.HighPart == -1 && byteOffset->u.LowPart == FILE_USE_FILE_POINTER_POSITION)) {
    if (byteOffset->QuadPart < 0) return STATUS_INVALID_PARAMETER;
    offset = static_cast<uint64_t>(byteOffset->QuadPart);
  }
  if (length == 0) {
    iosb->Status = STATUS_SUCCESS;
    iosb->Information = 0;
    return STATUS_SUCCESS;
  }
  struct stat info {};
  if (::fstat(file->fd, &info) != 0) return STATUS_UNSUCCESSFUL;
  if (offset >= static_cast<uint64_t>(info.st_size)) {
    iosb->Status = STATUS_END_OF_FILE;
    iosb->Information = 0;
    return STATUS_END_OF_FILE;
  }
  size_t done = 0;
  auto* bytes = static_cast<char*>(buffer);
  while (done < length) {
    ssize_t n = ::pread(file->fd, bytes + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return STATUS_UNSUCCESSFUL;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  file->position = offset + done;
  iosb->Status = STATUS_SUCCESS;
  iosb->Information = done;
  return STATUS_SUCCESS;
}

}  // namespace lumo::kernel

using lumo::kernel::FileNamespace;
using lumo::kernel::Simulation;

extern "C" {

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength) {
  return Simulation::Current().Get<FileNamespace>().CreateFile(
      FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, CreateDisposition, CreateOptions);
}

NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                          PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER ByteOffset, PULONG Key) {
  return Simulation::Current().Get<FileNamespace>().ReadFile(FileHandle, IoStatusBlock, Buffer,
                                                             Length, ByteOffset);
}

}  // extern "C"
