// The process-wide objects a program defines (the application and vantra-flash each define
// their own), for the test programs and benchmarks that use the link without either.
#include "link/device_link.h"
#include "link/frame_codec.h"

CDeviceLink g_DeviceLink;
CFrameDecoder g_FrameDecoder;
