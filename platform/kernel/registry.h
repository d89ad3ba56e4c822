// The registry of the simulated machine: an in-memory tree of keys and typed values behind
// ZwCreateKey, ZwOpenKey, ZwQueryValueKey, ZwSetValueKey and IoOpenDeviceRegistryKey; the
// handle table that registry keys and files share (ZwClose); and the host's loading and saving
// of the tree in a text file. Not a model of hives, security or key deletion.
//
// Names of keys and values compare without regard to case (ASCII letters folded), keep the
// case they were created with, and are saved in that case.
//
// Checks: "zw-irql" (a Zw routine or IoOpenDeviceRegistryKey above PASSIVE_LEVEL), "bad-handle"
// (ZwClose of a handle that is not open; the call also returns STATUS_INVALID_HANDLE),
// "handle-leak" (handles still open at teardown).
//
// The file format (UTF-16 code units outside printable ASCII, and the characters % " [ ], are
// written as %XXXX with four hex digits, so the file is ASCII and round-trips exactly):
//   ; a comment
//   [\Registry\Machine\System\CurrentControlSet\Control\Class\{...}\0000\Settings]
//   "Brightness"=dword:00000080
//   "Title"=sz:"Lumo camera"
//   "Table"=hex:01,02,ff
//   "List"=hex(7):61,00,00,00,00,00
// A [key] line opens the key (creating it and its parents); the value lines below it set its
// values. dword: holds a 4-byte REG_DWORD, sz: a REG_SZ that ends with exactly one terminating
// zero, hex: REG_BINARY, and hex(N): any type N with any data (a REG_DWORD of another length,
// a REG_SZ without its terminator, ...). ""= is the key's default value. Every key is written,
// values or not, in name order.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/simulation.h"

namespace lumo::kernel {

// --- Handles --------------------------------------------------------------------------------

// One table of kernel handles for registry keys and files.
class HandleTable : public Component {
 public:
  struct Object {
    virtual ~Object() = default;
    virtual std::string Describe() const = 0;
  };

  explicit HandleTable(Simulation& sim);
  HANDLE Insert(std::unique_ptr<Object> object);
  // The open object of a handle, nullptr when the handle is not open.
  Object* Find(HANDLE handle) const;
  template <class T>
  T* FindAs(HANDLE handle) const {
    return dynamic_cast<T*>(Find(handle));
  }
  // STATUS_INVALID_HANDLE (and a "bad-handle" report) when not open.
  NTSTATUS Close(HANDLE handle);
  size_t OpenCount() const { return objects_.size(); }
  template <class T>
  size_t OpenCountOf() const {
    size_t count = 0;
    for (const auto& [value, object] : objects_) count += dynamic_cast<T*>(object.get()) != nullptr;
    return count;
  }
  void Teardown(Simulation& sim) override;

 private:
  Simulation& sim_;
  std::map<uintptr_t, std::unique_ptr<Object>> objects_;
  uintptr_t next_ = 0x80000004;  // kernel handles have the top bit set; steps of 4
};

// --- Registry ---------------------------------------------------------------------------------

struct RegistryValue {
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
  bool operator==(const RegistryValue&) const = default;
};

class Registry : public Component {
 public:
  explicit Registry(Simulation& sim);
  ~Registry() override;

  // --- Host API ------------------------------------------------------------------------------
  // Paths are absolute, "\Registry\Machine\...". Missing keys are created.
  void SetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                std::vector<uint8_t> data);
  void SetDword(std::u16string_view keyPath, std::u16string_view name, uint32_t value);
  void SetString(std::u16string_view keyPath, std::u16string_view name, std::u16string_view text);
  std::optional<RegistryValue> GetValue(std::u16string_view keyPath,
                                        std::u16string_view name) const;
  std::optional<uint32_t> GetDword(std::u16string_view keyPath, std::u16string_view name) const;
  bool KeyExists(std::u16string_view keyPath) const;

  // The whole tree as text (the file format above) and back. Parse replaces the tree only when
  // the whole text is valid and no key handle is open; otherwise it returns false with the
  // reason (and the line) in *error and changes nothing.
  std::string Serialize() const;
  bool Parse(std::string_view text, std::string* error);

  // Load reads a file written by Save. Save writes a temporary file beside `path`, flushes it
  // to the disk, and renames it over `path`: whenever the process dies, `path` holds either the
  // old or the new tree, whole.
  bool Load(const std::string& path, std::string* error);
  bool Save(const std::string& path, std::string* error) const;
  // Called by Save after the temporary file is written and flushed, before the rename
  // (tests end the process here to show that an interrupted save loses nothing).
  void SetBeforeReplaceHook(std::function<void(const std::string& temporaryPath)> hook) {
    beforeReplace_ = std::move(hook);
  }

  // --- The platform calls' bodies ------------------------------------------------------------
  NTSTATUS CreateKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                     PULONG disposition, bool create);
  NTSTATUS QueryValueKey(HANDLE handle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                         ULONG length, PULONG resultLength);
  NTSTATUS SetValueKey(HANDLE handle, PUNICODE_STRING valueName, ULONG type, PVOID data,
                       ULONG dataSize);
  NTSTATUS OpenDeviceKey(PDEVICE_OBJECT device, ULONG keyType, ACCESS_MASK access, PHANDLE handle);

  struct Key;

 private:
  Key* Walk(Key* from, const std::vector<std::u16string>& components, bool createAll) const;

  Simulation& sim_;
  std::unique_ptr<Key> root_;
  std::function<void(const std::string&)> beforeReplace_;
};

// Writes `contents` to `path` through a temporary file, fsync and rename (see Registry::Save).
bool WriteFileAtomically(const std::string& path, std::string_view contents, std::string* error,
                         const std::function<void(const std::string&)>& beforeReplace = {});

// Reports "zw-irql" when the caller runs above PASSIVE_LEVEL; `routine` names the call.
void CheckPassiveLevel(Simulation& sim, const char* routine);

}  // namespace lumo::kernel
