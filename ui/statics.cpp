// The process's long-lived objects, in the order they must be built: the device link before
// the application, the frame decoder after it. They are destroyed in the reverse order, after
// main has stopped the link worker that uses them.
#include "link/device_link.h"
#include "link/frame_codec.h"
#include "ui/vantra_app.h"

CDeviceLink g_DeviceLink;
CVantraApp theApp;
CFrameDecoder g_FrameDecoder;
