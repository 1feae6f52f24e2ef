// Entry point of orbit-tone; the command line is ignored.
#include "driver/orbit_tone.h"

int main()
{
    return OrbitToneMain();
}
