// The registry: keys and values through the Zw calls, the layouts and sizes of value queries,
// device keys, handles, and the round trip through the file with an interrupted save.
#include "kernel/registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/pool.h"
#include "kernel/simulation.h"

namespace lumo::kernel {
namespace {

SimulationOptions Lenient() {
  SimulationOptions options;
  options.verifierFailuresFatal = false;
  return options;
}

// A UNICODE_STRING over a literal (the platform's RTL_CONSTANT_STRING).
struct Name {
  explicit Name(const char16_t* text) {
    RtlInitUnicodeString(&string, reinterpret_cast<PCWSTR>(text));
  }
  UNICODE_STRING string;
};

OBJECT_ATTRIBUTES Attributes(Name& name, HANDLE root = nullptr) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             root, nullptr);
  return attributes;
}

NTSTATUS CreateKey(const char16_t* path, HANDLE* handle, ULONG* disposition = nullptr,
                   HANDLE root = nullptr) {
  Name name(path);
  OBJECT_ATTRIBUTES attributes = Attributes(name, root);
  ULONG ignored;
  return ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                     disposition != nullptr ? disposition : &ignored);
}

NTSTATUS SetDword(HANDLE key, const char16_t* valueName, ULONG value) {
  Name name(valueName);
  return ZwSetValueKey(key, &name.string, 0, REG_DWORD, &value, sizeof value);
}

std::string TempPath(const std::string& leaf) {
  std::string directory = ::testing::TempDir() + "lumo_registry_" + std::to_string(::getpid());
  std::filesystem::create_directories(directory);
  return directory + "/" + leaf;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

constexpr const char16_t* kSettings =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\Test\\0000\\Settings";

TEST(RegistryKeys, CreateOpenAndDispositions) {
  Simulation sim(Lenient());
  sim.Run([&] {
    HANDLE machine, system, again;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\System", &system, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    // Names ignore case; the second create opens what the first made.
    ASSERT_EQ(CreateKey(u"\\REGISTRY\\machine\\SYSTEM", &again, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_NE(again, system);
    // Only the last component is created.
    HANDLE deep;
    EXPECT_EQ(CreateKey(u"\\Registry\\Machine\\No\\Such", &deep), STATUS_OBJECT_NAME_NOT_FOUND);
    // Relative to a key handle.
    HANDLE child;
    ASSERT_EQ(CreateKey(u"Settings", &child, &disposition, system), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(sim.Get<Registry>().KeyExists(u"\\Registry\\Machine\\System\\settings"));

    Name missing(u"\\Registry\\Machine\\Missing");
    OBJECT_ATTRIBUTES attributes = Attributes(missing);
    EXPECT_EQ(ZwOpenKey(&machine, KEY_READ, &attributes), STATUS_OBJECT_NAME_NOT_FOUND);
    Name present(u"\\Registry\\Machine");
    attributes = Attributes(present);
    ASSERT_EQ(ZwOpenKey(&machine, KEY_READ, &attributes), STATUS_SUCCESS);

    struct Bad {
      const char16_t* path;
      HANDLE root;
      NTSTATUS status;
    };
    for (const Bad& bad :
         std::vector<Bad>{{u"Relative\\Without\\Root", nullptr, STATUS_OBJECT_NAME_INVALID},
                          {u"\\Registry\\Machine\\\\Double", nullptr, STATUS_OBJECT_NAME_INVALID},
                          {u"\\Absolute", system, STATUS_OBJECT_NAME_INVALID},
                          {u"Child", reinterpret_cast<HANDLE>(0x1234), STATUS_INVALID_HANDLE}}) {
      HANDLE handle;
      EXPECT_EQ(CreateKey(bad.path, &handle, nullptr, bad.root), bad.status) << ToUtf8(bad.path);
    }
    for (HANDLE handle : {machine, system, again, child})
      EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(RegistryValues, FullInformationAtEveryBufferSize) {
  Simulation sim(Lenient());
  sim.Run([&] {
    HANDLE machine, key;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Values", &machine), STATUS_SUCCESS);
    key = machine;
    // "Hue" is 6 bytes of name: the data starts at 20 + 6 rounded up to 28.
    ASSERT_EQ(SetDword(key, u"Hue", 0x11223344), STATUS_SUCCESS);
    Name name(u"hUE");
    const ULONG kTotal = 28 + 4;
    struct Case {
      ULONG length;
      NTSTATUS status;
    };
    for (const Case& c : std::vector<Case>{{0, STATUS_BUFFER_TOO_SMALL},
                                           {19, STATUS_BUFFER_TOO_SMALL},
                                           {20, STATUS_BUFFER_OVERFLOW},
                                           {26, STATUS_BUFFER_OVERFLOW},
                                           {kTotal - 1, STATUS_BUFFER_OVERFLOW},
                                           {kTotal, STATUS_SUCCESS},
                                           {64, STATUS_SUCCESS}}) {
      unsigned char buffer[80];
      std::memset(buffer, 0xAA, sizeof buffer);
      ULONG result = 0;
      EXPECT_EQ(ZwQueryValueKey(key, &name.string, KeyValueFullInformation,
                                c.length != 0 ? buffer : nullptr, c.length, &result),
                c.status)
          << c.length;
      EXPECT_EQ(result, kTotal) << c.length;
      // Nothing is written past the buffer.
      for (ULONG i = c.length; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0xAA) << c.length;
      if (c.length < 20) continue;
      KEY_VALUE_FULL_INFORMATION info;
      std::memcpy(&info, buffer, offsetof(KEY_VALUE_FULL_INFORMATION, Name));
      EXPECT_EQ(info.Type, static_cast<ULONG>(REG_DWORD));
      EXPECT_EQ(info.DataOffset, 28u);
      EXPECT_EQ(info.DataLength, 4u);
      EXPECT_EQ(info.NameLength, 6u);
      if (c.status == STATUS_SUCCESS) {
        EXPECT_EQ(std::memcmp(buffer + 20, u"Hue", 6), 0);  // the name as it was set
        ULONG data;
        std::memcpy(&data, buffer + info.DataOffset, 4);
        EXPECT_EQ(data, 0x11223344u);
      }
    }
    // The size the settings code uses: 24 + name with terminator + 4.
    Name brightness(u"Brightness");
    ASSERT_EQ(SetDword(key, u"Brightness", 128), STATUS_SUCCESS);
    unsigned char buffer[24 + 22 + 4];
    ULONG result;
    ASSERT_EQ(ZwQueryValueKey(key, &brightness.string, KeyValueFullInformation, buffer,
                              sizeof buffer, &result),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(info->DataOffset, 40u);
    EXPECT_EQ(*reinterpret_cast<ULONG*>(buffer + info->DataOffset), 128u);

    Name absent(u"Absent");
    EXPECT_EQ(ZwQueryValueKey(key, &absent.string, KeyValueFullInformation, buffer, sizeof buffer,
                              &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(RegistryValues, PartialInformationAndOverwrite) {
  Simulation sim(Lenient());
  sim.Run([&] {
    HANDLE key;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Values", &key), STATUS_SUCCESS);
    Name name(u"Blob");
    unsigned char blob[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(ZwSetValueKey(key, &name.string, 0, REG_BINARY, blob, sizeof blob), STATUS_SUCCESS);
    unsigned char buffer[32];
    ULONG result;
    EXPECT_EQ(ZwQueryValueKey(key, &name.string, KeyValuePartialInformation, buffer, 11, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 17u);
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(ZwQueryValueKey(key, &name.string, KeyValuePartialInformation, buffer, 14, &result),
              STATUS_BUFFER_OVERFLOW);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(info->DataLength, 5u);
    EXPECT_EQ(info->Data[0], 1);
    EXPECT_EQ(info->Data[1], 2);
    EXPECT_EQ(info->Data[2], 0);
    EXPECT_EQ(ZwQueryValueKey(key, &name.string, KeyValuePartialInformation, buffer, 17, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(info->Data[4], 5);
    // A second set replaces type and data.
    ASSERT_EQ(SetDword(key, u"BLOB", 9), STATUS_SUCCESS);
    EXPECT_EQ(sim.Get<Registry>().GetDword(u"\\Registry\\Machine\\Values", u"blob"), 9u);
    ZwClose(key);
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(RegistryValues, AccessFollowsTheHandle) {
  Simulation sim(Lenient());
  sim.Run([&] {
    HANDLE writable, readOnly;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Access", &writable), STATUS_SUCCESS);
    Name path(u"\\Registry\\Machine\\Access");
    OBJECT_ATTRIBUTES attributes = Attributes(path);
    ASSERT_EQ(ZwOpenKey(&readOnly, KEY_READ, &attributes), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(readOnly, u"V", 1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(SetDword(writable, u"V", 1), STATUS_SUCCESS);
    Name value(u"V");
    unsigned char buffer[32];
    ULONG result;
    EXPECT_EQ(ZwQueryValueKey(readOnly, &value.string, KeyValuePartialInformation, buffer,
                              sizeof buffer, &result),
              STATUS_SUCCESS);
    ZwClose(readOnly);
    ZwClose(writable);
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(RegistryHandles, ClosingAnUnknownHandleAndLeakingOne) {
  std::vector<VerifierReport> reports = RunCollectingReports(
      [](Simulation& sim) {
        sim.Run([] {
          EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x4242)), STATUS_INVALID_HANDLE);
          HANDLE key;
          ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Leaky", &key), STATUS_SUCCESS);
          HANDLE closed;
          ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\Leaky", &closed), STATUS_SUCCESS);
          EXPECT_EQ(ZwClose(closed), STATUS_SUCCESS);
          EXPECT_EQ(ZwClose(closed), STATUS_INVALID_HANDLE);
        });
      },
      Lenient());
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].check, "bad-handle");
  EXPECT_EQ(reports[1].check, "bad-handle");
  EXPECT_EQ(reports[2].check, "handle-leak");
  EXPECT_NE(reports[2].message.find("\\Registry\\Machine\\Leaky"), std::string::npos)
      << reports[2].message;
}

TEST(RegistryDeviceKeys, EachDeviceHasItsOwnDriverKey) {
  Simulation sim(Lenient());
  sim.Run([&] {
    IoManager& io = sim.Get<IoManager>();
    PDRIVER_OBJECT driver = io.CreateDriverObject(u"\\Driver\\d");
    PDEVICE_OBJECT first, second;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &first);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second);
    io.SetDriverKeyPath(second, kSettings);
    HANDLE key, settings;
    ASSERT_EQ(IoOpenDeviceRegistryKey(first, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &key),
              STATUS_SUCCESS);
    // Created relative to a handle opened with READ_CONTROL only, as a driver does.
    ULONG disposition;
    ASSERT_EQ(CreateKey(u"Settings", &settings, &disposition, key), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(settings, u"Brightness", 7), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, u"NotAllowed", 7), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim.Get<Registry>().GetDword(
                  u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
                  u"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000\\Settings",
                  u"Brightness"),
              7u);
    ZwClose(settings);
    ZwClose(key);
    ASSERT_EQ(IoOpenDeviceRegistryKey(second, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, u"Here", 1), STATUS_SUCCESS);
    EXPECT_EQ(sim.Get<Registry>().GetDword(kSettings, u"Here"), 1u);
    ZwClose(key);
    EXPECT_EQ(IoOpenDeviceRegistryKey(first, 77, KEY_READ, &key), STATUS_INVALID_PARAMETER);
    IoDeleteDevice(first);
    IoDeleteDevice(second);
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(RegistryDeviceKeys, ZwCallsAtDispatchLevelAreReported) {
  Simulation sim(Lenient());
  sim.Run([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    HANDLE key;
    CreateKey(u"\\Registry\\Machine\\Late", &key);
    KeLowerIrql(old);
    ZwClose(key);
  });
  ASSERT_EQ(sim.VerifierReports().size(), 1u);
  EXPECT_EQ(sim.VerifierReports()[0].check, "zw-irql");
}

// --- The file ---------------------------------------------------------------------------------

void FillSample(Simulation& sim) {
  sim.Run([] {
    HANDLE key;
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\System", &key), STATUS_SUCCESS);
    ZwClose(key);
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\System\\Empty Key", &key), STATUS_SUCCESS);
    ZwClose(key);
    ASSERT_EQ(CreateKey(u"\\Registry\\Machine\\System\\Values", &key), STATUS_SUCCESS);
    SetDword(key, u"Brightness", 0x80);
    Name title(u"Title [\"%\u00e9\"]");
    const char16_t text[] = u"Lumo camera \u00e9\U0001F600";
    ZwSetValueKey(key, &title.string, 0, REG_SZ, const_cast<char16_t*>(text), sizeof text);
    Name raw(u"Unterminated");
    ZwSetValueKey(key, &raw.string, 0, REG_SZ, const_cast<char16_t*>(u"ab"), 4);
    Name blob(u"Blob");
    unsigned char bytes[3] = {0, 0xff, 0x10};
    ZwSetValueKey(key, &blob.string, 0, REG_BINARY, bytes, sizeof bytes);
    Name empty(u"");
    ZwSetValueKey(key, &empty.string, 0, REG_BINARY, nullptr, 0);
    Name shortDword(u"Short");
    ZwSetValueKey(key, &shortDword.string, 0, REG_DWORD, bytes, 2);
    ZwClose(key);
  });
}

TEST(RegistryFile, RoundTripKeepsEveryKeyValueTypeAndByte) {
  const std::string path = TempPath("round_trip.reg");
  std::string saved;
  {
    Simulation sim(Lenient());
    FillSample(sim);
    std::string error;
    ASSERT_TRUE(sim.Get<Registry>().Save(path, &error)) << error;
    saved = sim.Get<Registry>().Serialize();
  }
  Simulation sim(Lenient());
  std::string error;
  ASSERT_TRUE(sim.Get<Registry>().Load(path, &error)) << error;
  EXPECT_EQ(sim.Get<Registry>().Serialize(), saved);
  Registry& registry = sim.Get<Registry>();
  const std::u16string values = u"\\Registry\\Machine\\System\\Values";
  EXPECT_EQ(registry.GetDword(values, u"brightness"), 0x80u);
  EXPECT_TRUE(registry.KeyExists(u"\\Registry\\Machine\\System\\Empty Key"));
  auto title = registry.GetValue(values, u"Title [\"%\u00e9\"]");
  ASSERT_TRUE(title.has_value());
  EXPECT_EQ(title->type, static_cast<ULONG>(REG_SZ));
  const char16_t text[] = u"Lumo camera \u00e9\U0001F600";
  EXPECT_EQ(title->data,
            std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(text),
                                 reinterpret_cast<const uint8_t*>(text) + sizeof text));
  EXPECT_EQ(registry.GetValue(values, u"Unterminated")->data.size(), 4u);
  EXPECT_EQ(registry.GetValue(values, u"Blob")->data, (std::vector<uint8_t>{0, 0xff, 0x10}));
  EXPECT_EQ(registry.GetValue(values, u"")->type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(registry.GetValue(values, u"Short")->data.size(), 2u);
  EXPECT_EQ(registry.GetValue(values, u"Short")->type, static_cast<ULONG>(REG_DWORD));
  // Queried through the kernel calls after loading.
  sim.Run([] {
    HANDLE key;
    Name path(u"\\Registry\\Machine\\System\\Values");
    OBJECT_ATTRIBUTES attributes = Attributes(path);
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
    Name name(u"Brightness");
    unsigned char buffer[64];
    ULONG result;
    ASSERT_EQ(ZwQueryValueKey(key, &name.string, KeyValuePartialInformation, buffer, sizeof buffer,
                              &result),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->Data[0], 0x80);
    ZwClose(key);
  });
}

TEST(RegistryFile, ASaveInterruptedBeforeTheReplaceLosesNothing) {
  const std::string path = TempPath("interrupted.reg");
  Simulation sim(Lenient());
  FillSample(sim);
  Registry& registry = sim.Get<Registry>();
  std::string error;
  ASSERT_TRUE(registry.Save(path, &error)) << error;
  const std::string before = ReadWhole(path);

  registry.SetDword(u"\\Registry\\Machine\\System\\Values", u"Brightness", 0x99);
  // The process dies after the new contents are on the disk but before they replace the file.
  registry.SetBeforeReplaceHook([](const std::string&) { ::_exit(3); });
  EXPECT_EXIT(registry.Save(path, nullptr), ::testing::ExitedWithCode(3), "");
  registry.SetBeforeReplaceHook({});

  EXPECT_EQ(ReadWhole(path), before);
  EXPECT_TRUE(std::filesystem::exists(path + ".tmp"));
  {
    Simulation other(Lenient());
    ASSERT_TRUE(other.Get<Registry>().Load(path, &error)) << error;
    EXPECT_EQ(other.Get<Registry>().GetDword(u"\\Registry\\Machine\\System\\Values", u"Brightness"),
              0x80u);
  }
  // The next save goes through, over the leftover temporary file.
  ASSERT_TRUE(registry.Save(path, &error)) << error;
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  Simulation after(Lenient());
  ASSERT_TRUE(after.Get<Registry>().Load(path, &error)) << error;
  EXPECT_EQ(after.Get<Registry>().GetDword(u"\\Registry\\Machine\\System\\Values", u"Brightness"),
            0x99u);
}

TEST(RegistryFile, BadTextIsRefusedWholeAndChangesNothing) {
  Simulation sim(Lenient());
  Registry& registry = sim.Get<Registry>();
  registry.SetDword(u"\\Registry\\Machine\\Kept", u"Value", 1);
  const std::string before = registry.Serialize();
  const std::vector<std::string> bad = {
      "\"Value\"=dword:1\n",                                // a value before any key
      "[\\Registry\\Machine\\A]\n\"V\"=dword:123456789\n",  // nine digits
      "[\\Registry\\Machine\\A]\n\"V\"=dword:xyz\n",
      "[\\Registry\\Machine\\A]\n\"V\"=hex:0,1\n",  // one-digit bytes
      "[\\Registry\\Machine\\A]\n\"V\"=hex(99999999999):00\n",
      "[\\Registry\\Machine\\A]\n\"V\"=sz:\"open\n",
      "[\\Registry\\Machine\\A]\n\"V\"=sz:\"a%00b\"\n",  // a zero inside a string
      "[\\Registry\\Machine\\A]\n\"V\"=sz:\"%12\"\n",    // a short escape
      "[\\Registry\\Machine\\A]\n\"V\"=text:1\n",
      "[\\Registry\\Machine\\A\n",
      "[\\Elsewhere\\A]\n",
      "[\\Registry\\Machine\\\\A]\n",
      "[\\Registry\\Machine\\A]\nV=dword:1\n",
  };
  for (const std::string& text : bad) {
    // Valid lines before the bad one are not applied either.
    std::string whole =
        text[0] == '[' ? "[\\Registry\\Machine\\Fine]\n\"F\"=dword:1\n" + text : text;
    std::string error;
    EXPECT_FALSE(registry.Parse(whole, &error)) << text;
    EXPECT_NE(error.find("line "), std::string::npos) << error;
    EXPECT_EQ(registry.Serialize(), before) << text;
  }
  std::string error;
  EXPECT_TRUE(
      registry.Parse("; comment\r\n\r\n[\\Registry\\Machine\\A]\r\n\"V\"=dword:1f\r\n", &error))
      << error;
  EXPECT_EQ(registry.GetDword(u"\\Registry\\Machine\\A", u"V"), 0x1fu);
  EXPECT_FALSE(registry.KeyExists(u"\\Registry\\Machine\\Kept"));
}

}  // namespace
}  // namespace lumo::kernel
