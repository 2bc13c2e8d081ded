#include "app/probe_app.h"

int main(int argc, char** argv) {
    CProbeApp theApp(argc, argv);
    theApp.InitInstance();
    return 0;
}
