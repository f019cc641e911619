// Icon IDI_MAIN on POSIX: its group directory, one 64 x 64 image of 32 bits per pixel, registered
// at start-up by every program that runs the dialog (zxflash, zxsim run). The Windows build
// carries the drawn icon in its resource script; here only its presence counts (the terminal
// marks the icon's place).
#include "app/resource_ids.h"
#include "platform/posix/control.h"
#include "platform/win32.h"

namespace {

const unsigned char kIconDirectory[] = {
    0,  0,  1, 0, 1, 0, // reserved, type 1 (icon), one image
    64, 64, 0, 0, 1, 0, // 64 x 64, no palette, reserved, one plane
    32, 0,  0, 0, 0, 0, // 32 bits per pixel; no image bytes kept
    1,  0,              // the RT_ICON id of the image
};

const bool registered =
    zxposix::RegisterResource(RT_GROUP_ICON, IDI_MAIN, kIconDirectory, sizeof(kIconDirectory));

} // namespace
