// `lumocap scale --to WxH IN OUT`: one raw 640x480 YUY2 frame in, the frame the driver delivers
// for 800x600, 1024x768 or 1280x960 out, byte for byte as the driver's frame conversion makes it.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace lumocap {

// args: what follows "scale" on the command line. Messages go to `err`. Returns the process exit
// status: 0 written, 1 input or output file trouble, 2 wrong usage or size.
int RunScaleCommand(const std::vector<std::string>& args, std::ostream& err);

}  // namespace lumocap
