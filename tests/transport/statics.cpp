// The process-wide objects the application defines; here for the test program.
#include "link/device_link.h"
#include "link/frame_codec.h"

CDeviceLink g_DeviceLink;
CFrameDecoder g_FrameDecoder;
