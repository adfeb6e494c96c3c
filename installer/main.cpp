// hexalift: brings the optical module's firmware up to date with the images
// in the install directory. Takes no arguments and prints nothing.
#include "update_run.h"

int main(int, char**)
{
    return UpdateRun();
}
