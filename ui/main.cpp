#include <unistd.h>

#include "platform/afx/afxwin.h"
#include "platform/resources.h"
#include "ui/main_frame.h"
#include "ui/res/vantra_resources.h"

int main(int argc, char** argv) {
    platform::SetProgramResources(&VantraResources());
    const int status = AfxWinMain(argc, argv);
    // The worker uses the device link and the decoder, which static destruction is about to
    // take away; a worker that will not stop must not outlive them.
    if (!StopLinkAtExit(2000)) ::_exit(status);
    return status;
}
