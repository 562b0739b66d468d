// The process's one device link and frame decoder, as the window defines them.
#include "link/device_link.h"
#include "link/frame_codec.h"

CDeviceLink g_DeviceLink;
CFrameDecoder g_FrameDecoder;
