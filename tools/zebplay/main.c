/* zebplay: a command-line player on zeb-audio (zebplay.h describes it);
   runs the mode the options ask for. */
#include "zebplay.h"

int main(int argc, char** argv)
{
    Options Opt;
    int Status = ParseOptions(argc, argv, &Opt);
    if (Status)
        return Status;
    switch (Opt.Mode) {
    case MODE_HELP: PrintUsage(stdout); return 0;
    case MODE_VERSION: return PrintVersion();
    case MODE_DEVICES: return ListDevices();
    case MODE_INFO: return ShowInfo(&Opt);
    case MODE_WAV: return RenderToWav(&Opt);
    case MODE_WM_LIST:
    case MODE_WM_GET:
    case MODE_WM_SET:
    case MODE_WM_DEL: return EditAttributes(&Opt);
    case MODE_PLAY: break;
    }
    return PlayFiles(&Opt);
}
