// The registry tree, its Zw calls, the shared handle table and the text file of the tree.
// See registry.h for the file format and the checks.
#include "kernel/registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "kernel/internal.h"
#include "kernel/io.h"

namespace lumo::kernel {

// --- Handles --------------------------------------------------------------------------------

HandleTable::HandleTable(Simulation& sim) : sim_(sim) {}

HANDLE HandleTable::Insert(std::unique_ptr<Object> object) {
  uintptr_t value = next_;
  next_ += 4;
  objects_.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

HandleTable::Object* HandleTable::Find(HANDLE handle) const {
  auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
  return found == objects_.end() ? nullptr : found->second.get();
}

NTSTATUS HandleTable::Close(HANDLE handle) {
  auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == objects_.end()) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", handle);
    sim_.VerifierFailure("bad-handle", std::string("ZwClose of handle ") + text +
                                           ", which is not open, on thread " + CurrentThreadName());
    return STATUS_INVALID_HANDLE;
  }
  objects_.erase(found);
  return STATUS_SUCCESS;
}

void HandleTable::Teardown(Simulation& sim) {
  if (objects_.empty()) return;
  std::string message = std::to_string(objects_.size()) + " handle(s) still open at teardown:";
  for (const auto& [value, object] : objects_) {
    char text[32];
    std::snprintf(text, sizeof text, "\n  0x%" PRIxPTR " ", value);
    message += text + object->Describe();
  }
  sim.VerifierFailure("handle-leak", std::move(message));
}

void CheckPassiveLevel(Simulation& sim, const char* routine) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) {
    sim.VerifierFailure("zw-irql", std::string(routine) + " at IRQL " + std::to_string(irql) +
                                       " on thread " + CurrentThreadName() +
                                       "; it runs at PASSIVE_LEVEL only");
  }
}

// --- The tree -------------------------------------------------------------------------------

namespace {

std::u16string Fold(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return folded;
}

constexpr size_t kKeyNameCharactersMax = 255;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;

ACCESS_MASK MapKeyAccess(ACCESS_MASK access) {
  ACCESS_MASK mapped = access & 0x00FFFFFF;
  if ((access & GENERIC_READ) != 0 || (access & kGenericExecute) != 0) mapped |= KEY_READ;
  if ((access & GENERIC_WRITE) != 0) mapped |= KEY_WRITE;
  if ((access & GENERIC_ALL) != 0 || (access & kMaximumAllowed) != 0) mapped |= KEY_ALL_ACCESS;
  return mapped;
}

// Splits "a\b\c" into its components. Empty components (a doubled or trailing backslash) and
// over-long names make the path invalid.
bool SplitPath(std::u16string_view path, std::vector<std::u16string>* components) {
  components->clear();
  if (path.empty()) return true;
  size_t start = 0;
  while (true) {
    size_t end = path.find(u'\\', start);
    std::u16string_view part = path.substr(
        start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
    if (part.empty() || part.size() > kKeyNameCharactersMax) return false;
    components->emplace_back(part);
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

}  // namespace

struct Registry::Key {
  std::u16string name;
  Key* parent = nullptr;
  std::map<std::u16string, std::unique_ptr<Key>> subkeys;  // by folded name
  std::map<std::u16string, RegistryValue> values;          // by folded name

  Key* Child(std::u16string_view childName) const {
    auto found = subkeys.find(Fold(childName));
    return found == subkeys.end() ? nullptr : found->second.get();
  }
  Key* AddChild(std::u16string_view childName) {
    auto key = std::make_unique<Key>();
    key->name = std::u16string(childName);
    key->parent = this;
    Key* raw = key.get();
    subkeys.emplace(Fold(childName), std::move(key));
    return raw;
  }
  std::u16string Path() const {
    if (parent == nullptr) return u"\\" + name;
    return parent->Path() + u"\\" + name;
  }
};

namespace {

std::unique_ptr<Registry::Key> MakeRoot() {
  auto root = std::make_unique<Registry::Key>();
  root->name = u"Registry";
  root->AddChild(u"Machine");
  root->AddChild(u"User");
  return root;
}

// An open key: the handle's object.
struct KeyHandle : HandleTable::Object {
  Registry::Key* key;
  ACCESS_MASK access;
  std::u16string path;
  KeyHandle(Registry::Key* k, ACCESS_MASK a, std::u16string p)
      : key(k), access(a), path(std::move(p)) {}
  std::string Describe() const override { return "registry key " + ToUtf8(path); }
};

}  // namespace

Registry::Registry(Simulation& sim) : sim_(sim), root_(MakeRoot()) {}
Registry::~Registry() = default;

Registry::Key* Registry::Walk(Key* from, const std::vector<std::u16string>& components,
                              bool createAll) const {
  Key* key = from;
  for (const std::u16string& component : components) {
    Key* child = key->Child(component);
    if (child == nullptr) {
      if (!createAll) return nullptr;
      child = key->AddChild(component);
    }
    key = child;
  }
  return key;
}

namespace {

// The components below \Registry of an absolute path, or false when it is not one.
bool AbsoluteComponents(std::u16string_view path, std::vector<std::u16string>* components) {
  if (path.empty() || path[0] != u'\\') return false;
  if (!SplitPath(path.substr(1), components) || components->empty()) return false;
  if (Fold((*components)[0]) != u"registry") return false;
  components->erase(components->begin());
  return true;
}

}  // namespace

void Registry::SetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                        std::vector<uint8_t> data) {
  std::vector<std::u16string> components;
  if (!AbsoluteComponents(keyPath, &components)) return;
  Key* key = Walk(root_.get(), components, true);
  RegistryValue& value = key->values[Fold(name)];
  value.name = std::u16string(name);
  value.type = type;
  value.data = std::move(data);
}

void Registry::SetDword(std::u16string_view keyPath, std::u16string_view name, uint32_t value) {
  std::vector<uint8_t> data(4);
  std::memcpy(data.data(), &value, 4);
  SetValue(keyPath, name, REG_DWORD, std::move(data));
}

void Registry::SetString(std::u16string_view keyPath, std::u16string_view name,
                         std::u16string_view text) {
  std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
  std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
  SetValue(keyPath, name, REG_SZ, std::move(data));
}

std::optional<RegistryValue> Registry::GetValue(std::u16string_view keyPath,
                                                std::u16string_view name) const {
  std::vector<std::u16string> components;
  if (!AbsoluteComponents(keyPath, &components)) return std::nullopt;
  Key* key = Walk(root_.get(), components, false);
  if (key == nullptr) return std::nullopt;
  auto found = key->values.find(Fold(name));
  if (found == key->values.end()) return std::nullopt;
  return found->second;
}

std::optional<uint32_t> Registry::GetDword(std::u16string_view keyPath,
                                           std::u16string_view name) const {
  auto value = GetValue(keyPath, name);
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  uint32_t result;
  std::memcpy(&result, value->data.data(), 4);
  return result;
}

bool Registry::KeyExists(std::u16string_view keyPath) const {
  std::vector<std::u16string> components;
  if (!AbsoluteComponents(keyPath, &components)) return false;
  return Walk(root_.get(), components, false) != nullptr;
}

// --- Text form --------------------------------------------------------------------------------

namespace {

bool NeedsEscape(char16_t c) {
  return c < 0x20 || c > 0x7E || c == u'%' || c == u'"' || c == u'[' || c == u']';
}

std::string Escape(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    if (NeedsEscape(c)) {
      char code[8];
      std::snprintf(code, sizeof code, "%%%04X", static_cast<unsigned>(c));
      out += code;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Undoes Escape. False on a bad escape or a character
// that should have been escaped.
bool Unescape(std::string_view text, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 5 > text.size()) return false;
      unsigned value = 0;
      for (size_t k = 1; k <= 4; ++k) {
        int digit = HexDigit(text[i + k]);
        if (digit < 0) return false;
        value = value * 16 + static_cast<unsigned>(digit);
      }
      *out += static_cast<char16_t>(value);
      i += 4;
    } else {
      auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte > 0x7E || c == '"' || c == '[' || c == ']') return false;
      *out += static_cast<char16_t>(byte);
    }
  }
  return true;
}

std::string HexBytes(const std::vector<uint8_t>& data) {
  std::string out;
  char byte[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    if (i != 0) out += ',';
    out += byte;
  }
  return out;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>* data) {
  data->clear();
  if (text.empty()) return true;
  size_t i = 0;
  while (true) {
    if (i + 2 > text.size()) return false;
    int high = HexDigit(text[i]);
    int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    data->push_back(static_cast<uint8_t>(high * 16 + low));
    i += 2;
    if (i == text.size()) return true;
    if (text[i] != ',') return false;
    ++i;
  }
}

// A REG_SZ that the sz: form carries exactly: whole UTF-16 units, one terminating zero at the
// end and no other zero.
bool IsPlainString(const RegistryValue& value, std::u16string* text) {
  if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2 != 0) return false;
  size_t units = value.data.size() / 2;
  text->resize(units - 1);
  std::memcpy(text->data(), value.data.data(), (units - 1) * 2);
  if (value.data[value.data.size() - 1] != 0 || value.data[value.data.size() - 2] != 0) {
    return false;
  }
  return text->find(u'\0') == std::u16string::npos;
}

void SerializeKey(const Registry::Key& key, std::string* out) {
  if (key.parent != nullptr) {
    *out += "\n[" + Escape(key.Path()) + "]\n";
  }
  for (const auto& [folded, value] : key.values) {
    *out += "\"" + Escape(value.name) + "\"=";
    std::u16string text;
    if (value.type == REG_DWORD && value.data.size() == 4) {
      uint32_t dword;
      std::memcpy(&dword, value.data.data(), 4);
      char number[16];
      std::snprintf(number, sizeof number, "%08" PRIx32, dword);
      *out += std::string("dword:") + number;
    } else if (IsPlainString(value, &text)) {
      *out += "sz:\"" + Escape(text) + "\"";
    } else if (value.type == REG_BINARY) {
      *out += "hex:" + HexBytes(value.data);
    } else {
      *out += "hex(" + std::to_string(value.type) + "):" + HexBytes(value.data);
    }
    *out += "\n";
  }
  for (const auto& [folded, child] : key.subkeys) SerializeKey(*child, out);
}

}  // namespace

std::string Registry::Serialize() const {
  std::string out = "; lumo registry, one [key] line per key and one line per value below it\n";
  SerializeKey(*root_, &out);
  return out;
}

bool Registry::Parse(std::string_view text, std::string* error) {
  auto fail = [&](size_t line, const std::string& why) {
    if (error != nullptr) *error = "line " + std::to_string(line) + ": " + why;
    return false;
  };
  std::unique_ptr<Key> root = MakeRoot();
  Key* current = nullptr;
  size_t lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == ';') continue;

    if (line[0] == '[') {
      if (line.back() != ']') return fail(lineNumber, "a key line ends with ']'");
      std::u16string path;
      if (!Unescape(line.substr(1, line.size() - 2), &path)) {
        return fail(lineNumber, "bad character or escape in the key path");
      }
      std::vector<std::u16string> components;
      if (!AbsoluteComponents(path, &components)) {
        return fail(lineNumber, "the key path is not \\Registry\\...");
      }
      current = Walk(root.get(), components, true);
      continue;
    }
    if (line[0] != '"') return fail(lineNumber, "expected [key] or \"value\"=");
    if (current == nullptr) return fail(lineNumber, "a value before any [key]");
    size_t close = line.find('"', 1);
    if (close == std::string_view::npos || close + 1 >= line.size() || line[close + 1] != '=') {
      return fail(lineNumber, "expected \"name\"=");
    }
    RegistryValue value;
    if (!Unescape(line.substr(1, close - 1), &value.name)) {
      return fail(lineNumber, "bad character or escape in the value name");
    }
    std::string_view data = line.substr(close + 2);
    if (data.substr(0, 6) == "dword:") {
      std::string_view digits = data.substr(6);
      if (digits.empty() || digits.size() > 8)
        return fail(lineNumber, "dword: takes 1 to 8 hex digits");
      uint32_t number = 0;
      for (char c : digits) {
        int digit = HexDigit(c);
        if (digit < 0) return fail(lineNumber, "dword: takes hex digits");
        number = number * 16 + static_cast<uint32_t>(digit);
      }
      value.type = REG_DWORD;
      value.data.resize(4);
      std::memcpy(value.data.data(), &number, 4);
    } else if (data.substr(0, 4) == "sz:\"") {
      if (data.size() < 5 || data.back() != '"')
        return fail(lineNumber, "sz: takes a quoted string");
      std::u16string textValue;
      if (!Unescape(data.substr(4, data.size() - 5), &textValue)) {
        return fail(lineNumber, "bad character or escape in the string");
      }
      if (textValue.find(u'\0') != std::u16string::npos) {
        return fail(lineNumber, "sz: strings hold no zero; use hex(1):");
      }
      value.type = REG_SZ;
      value.data.assign((textValue.size() + 1) * 2, 0);
      std::memcpy(value.data.data(), textValue.data(), textValue.size() * 2);
    } else if (data.substr(0, 4) == "hex:") {
      value.type = REG_BINARY;
      if (!ParseHexBytes(data.substr(4), &value.data)) return fail(lineNumber, "bad hex bytes");
    } else if (data.substr(0, 4) == "hex(") {
      size_t paren = data.find(')');
      if (paren == std::string_view::npos || paren == 4 || paren > 14 || paren + 1 >= data.size() ||
          data[paren + 1] != ':') {
        return fail(lineNumber, "expected hex(type):");
      }
      uint64_t type = 0;
      for (char c : data.substr(4, paren - 4)) {
        if (c < '0' || c > '9') return fail(lineNumber, "the type of hex(type): is decimal");
        type = type * 10 + static_cast<uint64_t>(c - '0');
      }
      if (type > 0xFFFFFFFFu) return fail(lineNumber, "the type does not fit 32 bits");
      value.type = static_cast<ULONG>(type);
      if (!ParseHexBytes(data.substr(paren + 2), &value.data)) {
        return fail(lineNumber, "bad hex bytes");
      }
    } else {
      return fail(lineNumber, "unknown value form (dword:, sz:, hex:, hex(N):)");
    }
    std::u16string folded = Fold(value.name);
    current->values[folded] = std::move(value);
  }
  if (sim_.Get<HandleTable>().OpenCountOf<KeyHandle>() != 0) {
    if (error != nullptr) *error = "registry keys are open; the tree cannot be replaced";
    return false;
  }
  root_ = std::move(root);
  return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view contents, std::string* error,
                         const std::function<void(const std::string&)>& beforeReplace) {
  auto fail = [&](const std::string& what) {
    if (error != nullptr) *error = what + ": " + std::strerror(errno);
    return false;
  };
  std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail("cannot create " + temporary);
  size_t written = 0;
  while (written < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      ::unlink(temporary.c_str());
      return fail("cannot write " + temporary);
    }
    written += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return fail("cannot flush " + temporary);
  }
  ::close(fd);
  if (beforeReplace) beforeReplace(temporary);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return fail("cannot replace " + path);
  }
  // Make the rename itself durable.
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

bool Registry::Save(const std::string& path, std::string* error) const {
  return WriteFileAtomically(path, Serialize(), error, beforeReplace_);
}

bool Registry::Load(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error != nullptr) *error = "cannot open " + path;
    return false;
  }
  std::stringstream contents;
  contents << file.rdbuf();
  std::string parseError;
  if (!Parse(contents.str(), &parseError)) {
    if (error != nullptr) *error = path + ": " + parseError;
    return false;
  }
  return true;
}

// --- The Zw calls -----------------------------------------------------------------------------

NTSTATUS Registry::CreateKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             PULONG disposition, bool create) {
  CheckPassiveLevel(sim_, create ? "ZwCreateKey" : "ZwOpenKey");
  if (handle == nullptr || attributes == nullptr || attributes->ObjectName == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const UNICODE_STRING* name = attributes->ObjectName;
  if (name->Length % 2 != 0 || name->Length > name->MaximumLength ||
      (name->Length != 0 && name->Buffer == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string path = FromUnicodeString(name);
  HandleTable& handles = sim_.Get<HandleTable>();

  Key* base;
  std::vector<std::u16string> components;
  if (attributes->RootDirectory != nullptr) {
    auto* parent = handles.FindAs<KeyHandle>(attributes->RootDirectory);
    if (parent == nullptr) return STATUS_INVALID_HANDLE;
    if (!path.empty() && path[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (!SplitPath(path, &components)) return STATUS_OBJECT_NAME_INVALID;
    base = parent->key;
  } else {
    if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (!SplitPath(path.substr(1), &components) || components.empty()) {
      return STATUS_OBJECT_NAME_INVALID;
    }
    if (Fold(components[0]) != u"registry") return STATUS_OBJECT_NAME_NOT_FOUND;
    components.erase(components.begin());
    base = root_.get();
  }

  // Every component but the last must exist; ZwCreateKey creates only the last one.
  Key* key = base;
  ULONG result = REG_OPENED_EXISTING_KEY;
  for (size_t i = 0; i < components.size(); ++i) {
    Key* child = key->Child(components[i]);
    if (child == nullptr) {
      if (!create || i + 1 != components.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
      child = key->AddChild(components[i]);
      result = REG_CREATED_NEW_KEY;
    }
    key = child;
  }
  *handle = handles.Insert(std::make_unique<KeyHandle>(key, MapKeyAccess(access), key->Path()));
  if (disposition != nullptr) *disposition = result;
  return STATUS_SUCCESS;
}

NTSTATUS Registry::QueryValueKey(HANDLE handle, PUNICODE_STRING valueName,
                                 KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                                 ULONG length, PULONG resultLength) {
  CheckPassiveLevel(sim_, "ZwQueryValueKey");
  auto* open = sim_.Get<HandleTable>().FindAs<KeyHandle>(handle);
  if (open == nullptr) return STATUS_INVALID_HANDLE;
  if ((open->access & KEY_QUERY_VALUE) == 0) return STATUS_ACCESS_DENIED;
  if (valueName == nullptr || resultLength == nullptr || (information == nullptr && length != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  auto found = open->key->values.find(Fold(FromUnicodeString(valueName)));
  if (found == open->key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  const RegistryValue& value = found->second;
  const ULONG dataLength = static_cast<ULONG>(value.data.size());
  auto* out = static_cast<uint8_t*>(information);
  auto put = [&](size_t offset, ULONG field) {
    if (offset + sizeof field <= length) std::memcpy(out + offset, &field, sizeof field);
  };
  // Copies what fits of `bytes` at `offset`; true when all of it did.
  auto copy = [&](size_t offset, const void* bytes, size_t count) {
    if (offset >= length) return count == 0;
    size_t fits = std::min<size_t>(count, length - offset);
    std::memcpy(out + offset, bytes, fits);
    return fits == count;
  };

  switch (informationClass) {
    case KeyValueFullInformation: {
      const ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      const ULONG nameLength = static_cast<ULONG>(value.name.size() * sizeof(char16_t));
      // The data starts at the next 4-byte boundary after the name, as the platform lays it.
      const ULONG dataOffset = (fixed + nameLength + 3) & ~3u;
      *resultLength = dataOffset + dataLength;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      put(offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
      put(offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
      put(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
      put(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataLength);
      put(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameLength);
      bool all = copy(fixed, value.name.data(), nameLength);
      all = copy(dataOffset, value.data.data(), dataLength) && all;
      return all && length >= *resultLength ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case KeyValuePartialInformation: {
      const ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      *resultLength = fixed + dataLength;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
      put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
      put(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataLength);
      return copy(fixed, value.data.data(), dataLength) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS Registry::SetValueKey(HANDLE handle, PUNICODE_STRING valueName, ULONG type, PVOID data,
                               ULONG dataSize) {
  CheckPassiveLevel(sim_, "ZwSetValueKey");
  auto* open = sim_.Get<HandleTable>().FindAs<KeyHandle>(handle);
  if (open == nullptr) return STATUS_INVALID_HANDLE;
  if ((open->access & KEY_SET_VALUE) == 0) return STATUS_ACCESS_DENIED;
  if (valueName == nullptr || (data == nullptr && dataSize != 0) || valueName->Length % 2 != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string name = FromUnicodeString(valueName);
  RegistryValue& value = open->key->values[Fold(name)];
  value.name = name;
  value.type = type;
  auto* bytes = static_cast<const uint8_t*>(data);
  value.data.assign(bytes, bytes + dataSize);
  if (sim_.Options().traceEveryCall) sim_.Trace("ZwSetValueKey", ToUtf8(name), STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS Registry::OpenDeviceKey(PDEVICE_OBJECT device, ULONG keyType, ACCESS_MASK access,
                                 PHANDLE handle) {
  CheckPassiveLevel(sim_, "IoOpenDeviceRegistryKey");
  if (handle == nullptr || device == nullptr) return STATUS_INVALID_PARAMETER;
  IoManager& io = sim_.Get<IoManager>();
  std::u16string path;
  if (keyType == PLUGPLAY_REGKEY_DRIVER) {
    path = io.DriverKeyPath(device);
  } else if (keyType == PLUGPLAY_REGKEY_DEVICE) {
    path = io.DeviceKeyPath(device);
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  std::vector<std::u16string> components;
  if (!AbsoluteComponents(path, &components)) return STATUS_INVALID_DEVICE_REQUEST;
  // Installation made the key; a device seen for the first time gets it now.
  Key* key = Walk(root_.get(), components, true);
  *handle = sim_.Get<HandleTable>().Insert(
      std::make_unique<KeyHandle>(key, MapKeyAccess(access), key->Path()));
  return STATUS_SUCCESS;
}

}  // namespace lumo::kernel

// --- The platform calls
// ---------------------------------------------------------------------------

using lumo::kernel::Registry;
using lumo::kernel::Simulation;

extern "C" {

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                           POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                           PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  return Simulation::Current().Get<Registry>().CreateKey(KeyHandle, DesiredAccess, ObjectAttributes,
                                                         Disposition, true);
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes) {
  return Simulation::Current().Get<Registry>().CreateKey(KeyHandle, DesiredAccess, ObjectAttributes,
                                                         nullptr, false);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  return Simulation::Current().Get<Registry>().QueryValueKey(
      KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  return Simulation::Current().Get<Registry>().SetValueKey(KeyHandle, ValueName, Type, Data,
                                                           DataSize);
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  return Simulation::Current().Get<Registry>().OpenDeviceKey(DeviceObject, DevInstKeyType,
                                                             DesiredAccess, DevInstRegKey);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  Simulation& sim = Simulation::Current();
  lumo::kernel::CheckPassiveLevel(sim, "ZwClose");
  return sim.Get<lumo::kernel::HandleTable>().Close(Handle);
}

}  // extern "C"
