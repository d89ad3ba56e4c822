// `lumocap scale`: runs the driver's own frame conversion (ProcessRawFrame, hence the scaler with
// the fastest pass this processor offers) on a simulated machine, since the conversion takes its
// scratch memory from the kernel pool. The raw frame is built as the engine assembles it: the
// first packet's 16-byte header, then the image data.
#include "scale_command.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>

#include <ksmedia.h>

#include "core/lumocam.h"
#include "datapath/camera_ops.h"
#include "datapath/frame_conversion.h"
#include "kernel/simulation.h"

namespace lumocap {
namespace {

constexpr char kUsage[] = "usage: lumocap scale --to WxH IN OUT   (WxH: 800x600, 1024x768, 1280x960)";

bool ParseSize(const std::string& text, long& width, long& height) {
  size_t cross = text.find('x');
  if (cross == std::string::npos || cross == 0 || cross + 1 >= text.size()) return false;
  for (size_t n = 0; n < text.size(); n++) {
    if (n != cross && (text[n] < '0' || text[n] > '9')) return false;
  }
  if (cross > 5 || text.size() - cross - 1 > 5) return false;
  width = std::stol(text.substr(0, cross));
  height = std::stol(text.substr(cross + 1));
  return true;
}

}  // namespace

int RunScaleCommand(const std::vector<std::string>& args, std::ostream& err) {
  std::string size;
  std::vector<std::string> files;
  for (size_t n = 0; n < args.size(); n++) {
    if (args[n] == "--to") {
      if (n + 1 >= args.size()) {
        err << "lumocap scale: --to needs a size\n" << kUsage << "\n";
        return 2;
      }
      size = args[++n];
    } else if (args[n].rfind("--to=", 0) == 0) {
      size = args[n].substr(5);
    } else if (args[n].size() > 1 && args[n][0] == '-') {
      err << "lumocap scale: unknown option " << args[n] << "\n" << kUsage << "\n";
      return 2;
    } else {
      files.push_back(args[n]);
    }
  }
  if (size.empty() || files.size() != 2) {
    err << kUsage << "\n";
    return 2;
  }
  long width = 0, height = 0;
  const UPSCALE_ENTRY* entry = nullptr;
  if (ParseSize(size, width, height)) entry = FindUpscaleEntry(LONG(width), LONG(height));
  if (entry == nullptr) {
    err << "lumocap scale: unsupported size '" << size
        << "': the driver scales to 800x600, 1024x768 or 1280x960\n";
    return 2;
  }

  const std::string& inPath = files[0];
  const std::string& outPath = files[1];
  std::ifstream in(inPath, std::ios::binary);
  if (!in) {
    err << "lumocap scale: cannot open " << inPath << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  // The size is checked before anything is read: a wrong file may be of any size.
  std::error_code sizeError;
  uintmax_t imageBytes = std::filesystem::file_size(inPath, sizeError);
  if (sizeError) {
    err << "lumocap scale: cannot read " << inPath << ": " << sizeError.message() << "\n";
    return 1;
  }
  if (imageBytes != uintmax_t(CAMERA_IMAGE_BYTES)) {
    err << "lumocap scale: " << inPath << " holds " << imageBytes
        << " bytes; a raw 640x480 YUY2 frame is " << CAMERA_IMAGE_BYTES << " bytes\n";
    return 2;
  }
  std::vector<UCHAR> raw(PACKET_HEADER_SIZE + CAMERA_IMAGE_BYTES);
  if (!in.read(reinterpret_cast<char*>(raw.data() + PACKET_HEADER_SIZE), CAMERA_IMAGE_BYTES)) {
    err << "lumocap scale: cannot read " << inPath << "\n";
    return 1;
  }
  raw[PACKET_TYPE_OFFSET] = PACKET_TYPE_FRAME_START;

  // The device as it is after start-up with the stream opened at the chosen size.
  auto device = std::make_unique<DEVICE_CONTEXT>();
  std::memset(device.get(), 0, sizeof(DEVICE_CONTEXT));
  device->SensorType = SENSOR_TYPE_CONVERTED;
  device->DeliveredFourcc = FOURCC_YUY2;
  device->DeliveredWidth = LONG(width);
  device->DeliveredHeight = LONG(height);
  device->DeliveredBitCount = 16;

  std::vector<UCHAR> frame(size_t(width) * height * 2);
  ULONG delivered = 0;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  {
    lumo::kernel::Simulation sim;
    sim.Run([&] {
      status = ProcessRawFrame(nullptr, device.get(), nullptr, frame.data(), ULONG(frame.size()),
                               raw.data(), ULONG(raw.size()), 1, &delivered, ULONG(raw.size()), 0);
    });
  }
  if (!NT_SUCCESS(status) || delivered != frame.size()) {
    err << "lumocap scale: the conversion delivered " << delivered << " of " << frame.size()
        << " bytes\n";
    return 1;
  }

  std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
  if (!out) {
    err << "lumocap scale: cannot create " << outPath << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  out.write(reinterpret_cast<const char*>(frame.data()), std::streamsize(frame.size()));
  out.close();
  if (!out) {
    err << "lumocap scale: cannot write " << outPath << "\n";
    return 1;
  }
  return 0;
}

}  // namespace lumocap
