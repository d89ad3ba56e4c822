// The NT file namespace: opening through a mapped volume, reads at offsets and at the end,
// names that must not leave the mapped directory, and the handle table shared with keys.
#include "kernel/files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/registry.h"
#include "kernel/simulation.h"

namespace lumo::kernel {
namespace {

namespace fs = std::filesystem;

constexpr const char16_t* kVolume = u"\\Device\\HarddiskVolume1";

SimulationOptions Lenient() {
  SimulationOptions options;
  options.verifierFailuresFatal = false;
  return options;
}

void WriteFile(const fs::path& path, const std::string& contents) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

class Files : public ::testing::Test {
 protected:
  Files() : sim_(Lenient()) {
    root_ = fs::path(::testing::TempDir()) /
            ("lumo_files_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    volume_ = root_ / "volume";
    fs::create_directories(volume_);
    WriteFile(volume_ / "Program Files" / "lumocam" / "sx4417.ini", "0123456789");
    WriteFile(volume_ / "empty.ini", "");
    WriteFile(root_ / "outside.txt", "secret");
    sim_.Get<FileNamespace>().Map(kVolume, volume_.string());
  }
  ~Files() override { fs::remove_all(root_); }

  // ZwCreateFile as the register script reader calls it.
  NTSTATUS Open(const std::u16string& path, HANDLE* handle, ULONG disposition = FILE_OPEN,
                IO_STATUS_BLOCK* iosbOut = nullptr) {
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(path.c_str()));
    name.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwCreateFile(handle, GENERIC_READ | SYNCHRONIZE, &attributes, &iosb, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, disposition,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (iosbOut != nullptr) *iosbOut = iosb;
    return status;
  }

  fs::path root_, volume_;
  Simulation sim_;
};

TEST_F(Files, ReadsAtOffsetsFromThePositionAndAtTheEnd) {
  sim_.Run([&] {
    HANDLE file;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(Open(std::u16string(kVolume) + u"\\Program Files\\lumocam\\sx4417.ini", &file,
                   FILE_OPEN, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, static_cast<ULONG_PTR>(FILE_OPENED));
    struct Read {
      LONGLONG offset;  // -1: no offset, from the current position
      ULONG length;
      NTSTATUS status;
      std::string bytes;
    };
    const std::vector<Read> reads = {
        {0, 4, STATUS_SUCCESS, "0123"},
        {-1, 3, STATUS_SUCCESS, "456"},  // continues after the last read
        {8, 4, STATUS_SUCCESS, "89"},    // short at the end
        {-1, 4, STATUS_END_OF_FILE, ""},
        {10, 1, STATUS_END_OF_FILE, ""},
        {1000, 1, STATUS_END_OF_FILE, ""},
        {2, 0, STATUS_SUCCESS, ""},
        {3, 2, STATUS_SUCCESS, "34"},
    };
    for (const Read& read : reads) {
      char buffer[16] = {};
      IO_STATUS_BLOCK status{};
      LARGE_INTEGER offset;
      offset.QuadPart = read.offset;
      EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &status, buffer, read.length,
                           read.offset >= 0 ? &offset : nullptr, nullptr),
                read.status)
          << read.offset;
      EXPECT_EQ(status.Status, read.status);
      EXPECT_EQ(status.Information, read.bytes.size()) << read.offset;
      EXPECT_EQ(std::string(buffer, status.Information), read.bytes) << read.offset;
    }
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);

    // An empty file fails its first read with STATUS_END_OF_FILE.
    ASSERT_EQ(Open(std::u16string(kVolume) + u"\\EMPTY.INI", &file), STATUS_SUCCESS);
    char buffer[4096];
    IO_STATUS_BLOCK status;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(
        ZwReadFile(file, nullptr, nullptr, nullptr, &status, buffer, sizeof buffer, &zero, nullptr),
        STATUS_END_OF_FILE);
    ZwClose(file);
  });
  EXPECT_TRUE(sim_.VerifierReports().empty());
}

TEST_F(Files, OpenStatusesByName) {
  fs::create_symlink(root_ / "outside.txt", volume_ / "link.txt");
  struct Case {
    std::u16string path;
    NTSTATUS status;
  };
  const std::u16string v = kVolume;
  const std::vector<Case> cases = {
      {v + u"\\program files\\LUMOCAM\\SX4417.INI", STATUS_SUCCESS},  // case does not matter
      {v + u"\\Program Files\\lumocam\\missing.ini", STATUS_OBJECT_NAME_NOT_FOUND},
      {v + u"\\No Such Directory\\sx4417.ini", STATUS_OBJECT_PATH_NOT_FOUND},
      {u"\\Device\\HarddiskVolume2\\sx4417.ini", STATUS_OBJECT_PATH_NOT_FOUND},
      {u"\\Device\\HarddiskVolume10\\sx4417.ini", STATUS_OBJECT_PATH_NOT_FOUND},
      {v + u"\\..\\outside.txt", STATUS_OBJECT_NAME_INVALID},
      {v + u"\\Program Files\\..\\..\\outside.txt", STATUS_OBJECT_NAME_INVALID},
      {v + u"\\Program Files\\.\\lumocam\\sx4417.ini", STATUS_OBJECT_NAME_INVALID},
      {v + u"\\Program Files/../../outside.txt", STATUS_OBJECT_NAME_INVALID},
      {v + u"\\Program Files\\\\lumocam", STATUS_OBJECT_NAME_INVALID},
      {v + u"\\link.txt", STATUS_ACCESS_DENIED},  // a host link out of the volume
      {u"relative\\sx4417.ini", STATUS_OBJECT_NAME_INVALID},
  };
  sim_.Run([&] {
    for (const Case& c : cases) {
      HANDLE file = nullptr;
      EXPECT_EQ(Open(c.path, &file), c.status) << ToUtf8(c.path);
      if (NT_SUCCESS(c.status)) ZwClose(file);
    }
  });
  EXPECT_TRUE(sim_.VerifierReports().empty());
}

TEST_F(Files, DispositionsCreateAndRefuse) {
  sim_.Run([&] {
    const std::u16string fresh = std::u16string(kVolume) + u"\\fresh.bin";
    HANDLE file;
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(Open(fresh, &file, FILE_OPEN), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Open(fresh, &file, FILE_OPEN_IF, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, static_cast<ULONG_PTR>(FILE_CREATED));
    ZwClose(file);
    EXPECT_TRUE(fs::exists(volume_ / "fresh.bin"));
    EXPECT_EQ(Open(fresh, &file, FILE_CREATE), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(Open(std::u16string(kVolume) + u"\\empty.ini", &file, FILE_OVERWRITE_IF, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, static_cast<ULONG_PTR>(FILE_OVERWRITTEN));
    ZwClose(file);
    EXPECT_EQ(Open(fresh, &file, 9), STATUS_INVALID_PARAMETER);
    // A directory opens, but is no file to read.
    ASSERT_EQ(Open(std::u16string(kVolume) + u"\\Program Files", &file), STATUS_SUCCESS);
    char byte;
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, &byte, 1, nullptr, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    ZwClose(file);
  });
  EXPECT_TRUE(sim_.VerifierReports().empty());
}

TEST_F(Files, KeysAndFilesShareOneHandleTable) {
  sim_.Run([&] {
    HANDLE file;
    ASSERT_EQ(Open(std::u16string(kVolume) + u"\\empty.ini", &file), STATUS_SUCCESS);
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, reinterpret_cast<PCWSTR>(u"\\Registry\\Machine\\K"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key;
    ULONG disposition;
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition),
              STATUS_SUCCESS);
    EXPECT_NE(key, file);
    EXPECT_EQ(sim_.Get<HandleTable>().OpenCount(), 2u);
    // A key is no file, and a file no key.
    char byte;
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(ZwReadFile(key, nullptr, nullptr, nullptr, &iosb, &byte, 1, nullptr, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, reinterpret_cast<PCWSTR>(u"V"));
    ULONG value = 1;
    EXPECT_EQ(ZwSetValueKey(file, &valueName, 0, REG_DWORD, &value, sizeof value),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(sim_.Get<HandleTable>().OpenCount(), 0u);
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, &byte, 1, nullptr, nullptr),
              STATUS_INVALID_HANDLE);
  });
  EXPECT_TRUE(sim_.VerifierReports().empty());
}

TEST(Rtl, InitUnicodeStringAndCompareMemory) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, reinterpret_cast<PCWSTR>(u"Settings"));
  EXPECT_EQ(text.Length, 16);
  EXPECT_EQ(text.MaximumLength, 18);
  RtlInitUnicodeString(&text, nullptr);
  EXPECT_EQ(text.Length, 0);
  EXPECT_EQ(text.Buffer, nullptr);
  const char a[] = "abcdef";
  const char b[] = "abcxef";
  EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
  EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
  EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

}  // namespace
}  // namespace lumo::kernel
