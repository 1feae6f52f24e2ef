// The sound server's answers on Windows: there is no server to ask. The engine's WASAPI backend
// (1.22 and later) reports the output's layout itself; an older engine's output counts as able
// to take stereo.
#include "platform/openal/sound_server.h"

namespace sound {

void PrepareServerQuestion() {}

ServerAnswer AskAboutOurStream(Deadline)
{
    return {};
}

} // namespace sound
